// The strings that veltra's actions share.
#include "names.h"

namespace actions {

Name k_base64{"base64"};
Name k_b64encode{"b64encode"};
Name k_decode{"decode"};
Name k_utf8{"utf-8", Name::kText};
Name k_typing{"typing"};
Name k_any{"Any"};
Name k_data{"data"};
Name k_credentials_data{"_credentials_data"};
Name k_execute_transaction{"execute_transaction"};
Name k_cloud_action_base{"CloudActionBase"};
Name k_base_module{"veltra.cloud.services.actions.base"};
Name k_models_module{"veltra.cloud.models.base"};
Name k_env_name{"env_name"};
Name k_connection_name{"connection_name"};
Name k_backend{"backend"};
Name k_credentials{"credentials"};
Name k_application_uuid{"application_uuid"};
Name k_application_name{"application_name"};

}  // namespace actions
