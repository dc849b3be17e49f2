// veltra.cloud.services.actions.detach_outer_link: removes an external
// connection from an environment.
#include "actions.h"

namespace {
using namespace frame;

// ---------------------------------------------------------------------------
// What this module is.

Name k_model{"DetachOuterLinkResponse"};
Name k_transaction{"DetachOuterLink"};

constexpr Statement kStatements[] = {
    {1, &k_base64},
    {3, &k_models_module, &k_model},
    {4, &k_base_module, &k_cloud_action_base},
};

constexpr Param kActionParams[] = {
    kSelf,
    {&k_connection_name, "str", Check::kStr},
    {&k_env_name, "str", Check::kStr},
    kApplicationUuid,
    kApplicationName,
};

PyObject* action(Call& c) noexcept;

constexpr MethodSpec kMethods[] = {{
    .name = "action",
    .def_line = 15,
    .params = kActionParams,
    .n_kwonly = 0,
    .return_annotation = "DetachOuterLinkResponse",
    .locals = kConnectionLocals,
    .doc = "\n        Executes the external connection removal action with the given parameters.\n\n"
           "        Args:\n"
           "            connection_name (str): The name of the connection to remove.\n"
           "            env_name (str): The name of the environment.\n"
           "            application_uuid (str | None, optional): The UUID of the application. Defaults to None.\n"
           "            application_name (str | None, optional): The name of the application. Defaults to None.\n\n"
           "        Returns:\n"
           "            DetachOuterLinkResponse: The response containing the removed connection details.\n"
           "        ",
    .body = action,
}};

constexpr ModuleSpec kModule = {
    .short_name = "detach_outer_link",
    .dotted_name = "veltra.cloud.services.actions.detach_outer_link",
    .source_path = "src/veltra/cloud/services/actions/detach_outer_link",
    .statements = kStatements,
    .base_name = &k_cloud_action_base,
    .class_line = 7,
    .class_name = "DetachOuterLinkAction",
    .class_doc =
        "\n    Class to handle the removal of an external connection.\n\n"
        "    This class provides functionality to remove a specified external connection\n"
        "    from a given environment.\n    ",
    .methods = kMethods,
};

// ---------------------------------------------------------------------------
// What it does.

// The request lists the environment first, unlike the parameters.
constexpr RequestEntry kRequest[] = {
    {&k_env_name, 2}, {&k_connection_name, 1}, {&k_application_uuid, 3}, {&k_application_name, 4}};

constexpr ConnectionAction kAction = {
    .transaction = &k_transaction,
    .model = &k_model,
    .entries = kRequest,
    .credentials_line = 34,
    .transaction_line = 35,
    .request_line = 38,
    .model_line = 46,
};

PyObject* action(Call& c) noexcept { return run_connection_action(c, kAction); }

}  // namespace

FRAME_MODULE_INIT(detach_outer_link, kModule)
