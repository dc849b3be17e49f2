// What only the deploy needs beyond the shared call forms: the API domain shown
// after a deploy. Built into the deploy module alone.
#pragma once

#include "payload.h"

namespace actions {

// Public domain of the service: the fallback API domain of an application ends
// with a period, this name and a slash.
inline constexpr char kDomainSuffix[] = ".veltra.app/";

// The API domain of a deploy response `model`: its `domain_url` when that is
// true, otherwise "https://" + format(model.application_uuid) + "." +
// format(<module global `subdomain`>) + kDomainSuffix. A failure adds the entry
// of `test_line` (reading or testing domain_url) or `compose_line` (making the
// fallback) and returns null.
Ref api_domain(const Call& c, PyObject* model, const Name& subdomain, int test_line, int compose_line) noexcept;

}  // namespace actions
