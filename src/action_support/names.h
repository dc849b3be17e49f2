// What veltra's actions share: the names they spell alike, their common
// parameters, and the names a module derives from its short name.
#pragma once

#include "frame.h"

namespace actions {

using frame::Name;
using frame::Param;

// Strings shared by the actions.
extern Name k_base64;
extern Name k_b64encode;
extern Name k_decode;
extern Name k_utf8;
extern Name k_typing;
extern Name k_any;
extern Name k_data;
extern Name k_credentials_data;
extern Name k_execute_transaction;
extern Name k_cloud_action_base;
extern Name k_base_module;    // veltra.cloud.services.actions.base
extern Name k_models_module;  // veltra.cloud.models.base
extern Name k_env_name;
extern Name k_connection_name;
extern Name k_backend;
extern Name k_credentials;
extern Name k_application_uuid;
extern Name k_application_name;

// Parameters that every action spells alike.
inline constexpr Param kConnectionName{&k_connection_name, "str", frame::Check::kStr};
inline constexpr Param kEnvName{&k_env_name, "str", frame::Check::kStr};
inline constexpr Param kApplicationUuid{&k_application_uuid, "str | None", frame::Check::kNone, frame::Default::kNone};
inline constexpr Param kApplicationName{&k_application_name, "str | None", frame::Check::kNone, frame::Default::kNone};

}  // namespace actions

// The names of the module being built, all from its short name (the build's
// FRAME_MODULE_NAME): the short name, the dotted module name and the source path
// of its traceback entries, as the first three fields of a module's table.
#define ACTION_MODULE_NAMES                                                      \
  .short_name = FRAME_TEXT(FRAME_MODULE_NAME),                                   \
  .dotted_name = "veltra.cloud.services.actions." FRAME_TEXT(FRAME_MODULE_NAME), \
  .source_path = "src/veltra/cloud/services/actions/" FRAME_TEXT(FRAME_MODULE_NAME)

// Lines of a method docstring that several actions share.
#define ACTION_DOC_APPLICATION_ARGS                                                                       \
  "            application_uuid (str | None, optional): The UUID of the application. Defaults to None.\n" \
  "            application_name (str | None, optional): The name of the application. Defaults to None.\n"

// The end of a method docstring: its "Returns:" section with one entry.
#define ACTION_DOC_RETURNS(entry) "\n        Returns:\n            " entry "\n        "
