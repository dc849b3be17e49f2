// veltra.cloud.services.actions.amend_outer_link: changes the backend or the
// credentials of an external connection.
#include "actions.h"

namespace {
using namespace frame;

// ---------------------------------------------------------------------------
// What this module is.

Name k_model{"AmendOuterLinkResponse"};
Name k_transaction{"AmendOuterLink"};

constexpr Statement kStatements[] = {
    {1, &k_base64},
    {2, &k_typing, &k_any},
    {4, &k_models_module, &k_model},
    {5, &k_base_module, &k_cloud_action_base},
};

constexpr Param kActionParams[] = {
    kSelf,
    {&k_connection_name, "str", Check::kStr},
    {&k_env_name, "str", Check::kStr},
    {&k_backend, "str | None", Check::kNone, Default::kNone},
    {&k_credentials, "dict[str, Any] | None", Check::kNone, Default::kNone},
    kApplicationUuid,
    kApplicationName,
};

PyObject* action(Call& c) noexcept;

constexpr MethodSpec kMethods[] = {{
    .name = "action",
    .def_line = 16,
    .params = kActionParams,
    .n_kwonly = 0,
    .return_annotation = "AmendOuterLinkResponse",
    .locals = kConnectionLocals,
    .doc = "\n        Executes the action to update an external connection with the given parameters.\n\n"
           "        Args:\n"
           "            connection_name (str): The name of the connection to update.\n"
           "            env_name (str): The name of the environment.\n"
           "            backend (str | None, optional): New backend type. Defaults to None (keeps existing).\n"
           "            credentials (dict[str, Any] | None, optional): New credentials dict. Defaults to None (keeps "
           "existing).\n"
           "            application_uuid (str | None, optional): The UUID of the application. Defaults to None.\n"
           "            application_name (str | None, optional): The name of the application. Defaults to None.\n\n"
           "        Returns:\n"
           "            AmendOuterLinkResponse: The response containing the updated connection details.\n"
           "        ",
    .body = action,
}};

constexpr ModuleSpec kModule = {
    .short_name = "amend_outer_link",
    .dotted_name = "veltra.cloud.services.actions.amend_outer_link",
    .source_path = "src/veltra/cloud/services/actions/amend_outer_link",
    .statements = kStatements,
    .base_name = &k_cloud_action_base,
    .class_line = 8,
    .class_name = "AmendOuterLinkAction",
    .class_doc =
        "\n    Class to handle the update of an external connection.\n\n"
        "    This class provides functionality to update an external connection's backend or credentials\n"
        "    for a given environment.\n    ",
    .methods = kMethods,
};

// ---------------------------------------------------------------------------
// What it does.

// The request lists the environment first, unlike the parameters.
constexpr RequestEntry kRequest[] = {
    {&k_env_name, 2},    {&k_connection_name, 1},  {&k_backend, 3},
    {&k_credentials, 4}, {&k_application_uuid, 5}, {&k_application_name, 6},
};

constexpr ConnectionAction kAction = {
    .transaction = &k_transaction,
    .model = &k_model,
    .entries = kRequest,
    .credentials_line = 39,
    .transaction_line = 40,
    .request_line = 43,
    .model_line = 53,
};

PyObject* action(Call& c) noexcept { return run_connection_action(c, kAction); }

}  // namespace

FRAME_MODULE_INIT(amend_outer_link, kModule)
