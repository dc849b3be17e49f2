// veltra.cloud.services.actions.enumerate_outer_links: lists the external
// connections of an environment.
#include "connection.h"

namespace {
using namespace actions;

constexpr Param kParams[] = {frame::kSelf, kEnvName, kApplicationUuid, kApplicationName};
constexpr const Name* kRequest[] = {&k_env_name, &k_application_uuid, &k_application_name};

constexpr ConnectionModule kModule = {
    CONNECTION_NAMES("EnumerateOuterLinks"),
    .imports_typing = false,
    .params = kParams,
    .request = kRequest,
    // models and base imports, class, def, credentials, transaction, request, model
    .lines = {3, 4, 7, 14, 31, 32, 35, 42},
    .class_doc =
        "\n    Class to handle the listing of external connections.\n\n"
        "    This class provides functionality to list external connections for a given environment.\n    ",
    .doc =
        "\n        Executes the action to list external connections with the given parameters.\n\n"
        "        Args:\n"
        "            env_name (str): The name of the environment.\n" ACTION_DOC_APPLICATION_ARGS ACTION_DOC_RETURNS(
            "EnumerateOuterLinksResponse: The response containing the list of external connections."),
};

}  // namespace

CONNECTION_MODULE(kModule)
