// veltra.cloud.services.actions.attach_outer_link: adds an external connection
// to an environment.
#include "actions.h"

namespace {
using namespace frame;

// ---------------------------------------------------------------------------
// What this module is.

Name k_model{"AttachOuterLinkResponse"};
Name k_transaction{"AttachOuterLink"};

constexpr Statement kStatements[] = {
    {1, &k_base64},
    {3, &k_models_module, &k_model},
    {4, &k_base_module, &k_cloud_action_base},
};

constexpr Param kActionParams[] = {
    kSelf,
    {&k_connection_name, "str", Check::kStr},
    {&k_backend, "str", Check::kStr},
    {&k_credentials, "dict[str, str]", Check::kDict},
    {&k_env_name, "str", Check::kStr},
    kApplicationUuid,
    kApplicationName,
};

PyObject* action(Call& c) noexcept;

constexpr MethodSpec kMethods[] = {{
    .name = "action",
    .def_line = 12,
    .params = kActionParams,
    .n_kwonly = 0,
    .return_annotation = "AttachOuterLinkResponse",
    .locals = kConnectionLocals,
    .doc = "\n        Executes the action to add an external connection to an environment.\n\n"
           "        Args:\n"
           "            connection_name (str): The name of the connection.\n"
           "            backend (str): The backend type (e.g., 'postgres', 'mysql', 'redis').\n"
           "            credentials (dict[str, str]): Dictionary of connection credentials.\n"
           "            env_name (str): The name of the environment.\n"
           "            application_uuid (str, optional): The UUID of the application. Defaults to None.\n"
           "            application_name (str, optional): The name of the application. Defaults to None.\n\n"
           "        Returns:\n"
           "            AttachOuterLinkResponse: The response containing the added connection details.\n"
           "        ",
    .body = action,
}};

constexpr ModuleSpec kModule = {
    .short_name = "attach_outer_link",
    .dotted_name = "veltra.cloud.services.actions.attach_outer_link",
    .source_path = "src/veltra/cloud/services/actions/attach_outer_link",
    .statements = kStatements,
    .base_name = &k_cloud_action_base,
    .class_line = 7,
    .class_name = "AttachOuterLinkAction",
    .class_doc = "\n    Action class for adding an external connection to an environment.\n    ",
    .methods = kMethods,
};

// ---------------------------------------------------------------------------
// What it does.

// The request lists the environment first, unlike the parameters.
constexpr RequestEntry kRequest[] = {
    {&k_env_name, 4},    {&k_connection_name, 1},  {&k_backend, 2},
    {&k_credentials, 3}, {&k_application_uuid, 5}, {&k_application_name, 6},
};

constexpr ConnectionAction kAction = {
    .transaction = &k_transaction,
    .model = &k_model,
    .entries = kRequest,
    .credentials_line = 35,
    .transaction_line = 36,
    .request_line = 39,
    .model_line = 49,
};

PyObject* action(Call& c) noexcept { return run_connection_action(c, kAction); }

}  // namespace

FRAME_MODULE_INIT(attach_outer_link, kModule)
