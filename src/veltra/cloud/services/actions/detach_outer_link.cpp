// veltra.cloud.services.actions.detach_outer_link: removes an external
// connection from an environment.
#include "connection.h"

namespace {
using namespace actions;

constexpr Param kParams[] = {frame::kSelf, kConnectionName, kEnvName, kApplicationUuid, kApplicationName};
// The request lists the environment first, unlike the parameters.
constexpr const Name* kRequest[] = {&k_env_name, &k_connection_name, &k_application_uuid, &k_application_name};

constexpr ConnectionModule kModule = {
    CONNECTION_NAMES("DetachOuterLink"),
    .imports_typing = false,
    .params = kParams,
    .request = kRequest,
    // models and base imports, class, def, credentials, transaction, request, model
    .lines = {3, 4, 7, 15, 34, 35, 38, 46},
    .class_doc =
        "\n    Class to handle the removal of an external connection.\n\n"
        "    This class provides functionality to remove a specified external connection\n"
        "    from a given environment.\n    ",
    .doc =
        "\n        Executes the external connection removal action with the given parameters.\n\n"
        "        Args:\n"
        "            connection_name (str): The name of the connection to remove.\n"
        "            env_name (str): The name of the environment.\n" ACTION_DOC_APPLICATION_ARGS ACTION_DOC_RETURNS(
            "DetachOuterLinkResponse: The response containing the removed connection details."),
};

}  // namespace

CONNECTION_MODULE(kModule)
