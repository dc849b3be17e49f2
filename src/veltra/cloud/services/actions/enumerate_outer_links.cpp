// veltra.cloud.services.actions.enumerate_outer_links: lists the external
// connections of an environment.
#include "actions.h"

namespace {
using namespace frame;

// ---------------------------------------------------------------------------
// What this module is.

Name k_model{"EnumerateOuterLinksResponse"};
Name k_transaction{"EnumerateOuterLinks"};

constexpr Statement kStatements[] = {
    {1, &k_base64},
    {3, &k_models_module, &k_model},
    {4, &k_base_module, &k_cloud_action_base},
};

constexpr Param kActionParams[] = {
    kSelf,
    {&k_env_name, "str", Check::kStr},
    kApplicationUuid,
    kApplicationName,
};

PyObject* action(Call& c) noexcept;

constexpr MethodSpec kMethods[] = {{
    .name = "action",
    .def_line = 14,
    .params = kActionParams,
    .n_kwonly = 0,
    .return_annotation = "EnumerateOuterLinksResponse",
    .locals = kConnectionLocals,
    .doc = "\n        Executes the action to list external connections with the given parameters.\n\n"
           "        Args:\n"
           "            env_name (str): The name of the environment.\n"
           "            application_uuid (str | None, optional): The UUID of the application. Defaults to None.\n"
           "            application_name (str | None, optional): The name of the application. Defaults to None.\n\n"
           "        Returns:\n"
           "            EnumerateOuterLinksResponse: The response containing the list of external connections.\n"
           "        ",
    .body = action,
}};

constexpr ModuleSpec kModule = {
    .short_name = "enumerate_outer_links",
    .dotted_name = "veltra.cloud.services.actions.enumerate_outer_links",
    .source_path = "src/veltra/cloud/services/actions/enumerate_outer_links",
    .statements = kStatements,
    .base_name = &k_cloud_action_base,
    .class_line = 7,
    .class_name = "EnumerateOuterLinksAction",
    .class_doc =
        "\n    Class to handle the listing of external connections.\n\n"
        "    This class provides functionality to list external connections for a given environment.\n    ",
    .methods = kMethods,
};

// ---------------------------------------------------------------------------
// What it does.

constexpr RequestEntry kRequest[] = {{&k_env_name, 1}, {&k_application_uuid, 2}, {&k_application_name, 3}};

constexpr ConnectionAction kAction = {
    .transaction = &k_transaction,
    .model = &k_model,
    .entries = kRequest,
    .credentials_line = 31,
    .transaction_line = 32,
    .request_line = 35,
    .model_line = 42,
};

PyObject* action(Call& c) noexcept { return run_connection_action(c, kAction); }

}  // namespace

FRAME_MODULE_INIT(enumerate_outer_links, kModule)
