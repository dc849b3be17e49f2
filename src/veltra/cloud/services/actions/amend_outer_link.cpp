// veltra.cloud.services.actions.amend_outer_link: changes the backend or the
// credentials of an external connection.
#include "connection.h"

namespace {
using namespace actions;

constexpr Param kParams[] = {frame::kSelf,
                             kConnectionName,
                             kEnvName,
                             {&k_backend, "str | None", frame::Check::kNone, frame::Default::kNone},
                             {&k_credentials, "dict[str, Any] | None", frame::Check::kNone, frame::Default::kNone},
                             kApplicationUuid,
                             kApplicationName};
// The request lists the environment first, unlike the parameters.
constexpr const Name* kRequest[] = {&k_env_name,    &k_connection_name,  &k_backend,
                                    &k_credentials, &k_application_uuid, &k_application_name};

constexpr ConnectionModule kModule = {
    CONNECTION_NAMES("AmendOuterLink"),
    .imports_typing = true,
    .params = kParams,
    .request = kRequest,
    // models and base imports, class, def, credentials, transaction, request, model
    .lines = {4, 5, 8, 16, 39, 40, 43, 53},
    .class_doc =
        "\n    Class to handle the update of an external connection.\n\n"
        "    This class provides functionality to update an external connection's backend or credentials\n"
        "    for a given environment.\n    ",
    .doc =
        "\n        Executes the action to update an external connection with the given parameters.\n\n"
        "        Args:\n"
        "            connection_name (str): The name of the connection to update.\n"
        "            env_name (str): The name of the environment.\n"
        "            backend (str | None, optional): New backend type. Defaults to None (keeps existing).\n"
        "            credentials (dict[str, Any] | None, optional): New credentials dict. Defaults to None (keeps "
        "existing).\n" ACTION_DOC_APPLICATION_ARGS ACTION_DOC_RETURNS(
            "AmendOuterLinkResponse: The response containing the updated connection details."),
};

}  // namespace

CONNECTION_MODULE(kModule)
