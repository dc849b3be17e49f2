// What veltra's actions share: the names they spell alike, their common
// parameters, and the names a module derives from its short name.
#pragma once

#include "frame.h"

namespace actions {

using frame::Name;
using frame::Param;

// Strings shared by the actions.
FRAME_NAME(k_base64, "base64");
FRAME_NAME(k_b64encode, "b64encode");
FRAME_NAME(k_decode, "decode");
FRAME_NAME(k_utf8, "utf-8", Name::kText);
FRAME_NAME(k_typing, "typing");
FRAME_NAME(k_any, "Any");
FRAME_NAME(k_data, "data");
FRAME_NAME(k_credentials_data, "_credentials_data");
FRAME_NAME(k_execute_transaction, "execute_transaction");
FRAME_NAME(k_cloud_action_base, "CloudActionBase");
FRAME_NAME(k_base_module, "veltra.cloud.services.actions.base");  // veltra.cloud.services.actions.base
FRAME_NAME(k_models_module, "veltra.cloud.models.base");          // veltra.cloud.models.base
FRAME_NAME(k_env_name, "env_name");
FRAME_NAME(k_connection_name, "connection_name");
FRAME_NAME(k_backend, "backend");
FRAME_NAME(k_credentials, "credentials");
FRAME_NAME(k_application_uuid, "application_uuid");
FRAME_NAME(k_application_name, "application_name");

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
