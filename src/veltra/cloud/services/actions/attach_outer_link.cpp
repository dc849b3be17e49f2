// veltra.cloud.services.actions.attach_outer_link: adds an external connection
// to an environment.
#include "connection.h"

namespace {
using namespace actions;

constexpr Param kParams[] = {frame::kSelf,
                             kConnectionName,
                             {&k_backend, "str", frame::Check::kStr},
                             {&k_credentials, "dict[str, str]", frame::Check::kDict},
                             kEnvName,
                             kApplicationUuid,
                             kApplicationName};
// The request lists the environment first, unlike the parameters.
constexpr const Name* kRequest[] = {&k_env_name,    &k_connection_name,  &k_backend,
                                    &k_credentials, &k_application_uuid, &k_application_name};

constexpr ConnectionModule kModule = {
    CONNECTION_NAMES("AttachOuterLink"),
    .imports_typing = false,
    .params = kParams,
    .request = kRequest,
    // models and base imports, class, def, credentials, transaction, request, model
    .lines = {3, 4, 7, 12, 35, 36, 39, 49},
    .class_doc = "\n    Action class for adding an external connection to an environment.\n    ",
    .doc =
        "\n        Executes the action to add an external connection to an environment.\n\n"
        "        Args:\n"
        "            connection_name (str): The name of the connection.\n"
        "            backend (str): The backend type (e.g., 'postgres', 'mysql', 'redis').\n"
        "            credentials (dict[str, str]): Dictionary of connection credentials.\n"
        "            env_name (str): The name of the environment.\n"
        "            application_uuid (str, optional): The UUID of the application. Defaults to None.\n"
        "            application_name (str, optional): The name of the application. Defaults to "
        "None.\n" ACTION_DOC_RETURNS("AttachOuterLinkResponse: The response containing the added connection details."),
};

}  // namespace

CONNECTION_MODULE(kModule)
