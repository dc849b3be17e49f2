// The API domain of a deploy.
#include "deploy.h"

namespace actions {
namespace {

FRAME_NAME(k_domain_url, "domain_url");

// "https://" + format(model.application_uuid) + "." + format(subdomain) + suffix.
Ref fallback_domain(const Call& c, PyObject* model, const Name& subdomain) noexcept {
  Ref uuid = Ref::steal(PyObject_GetAttr(model, k_application_uuid.get()));
  if (!uuid) return {};
  Ref uuid_text = format_simple(uuid.get());
  if (!uuid_text) return {};
  Ref sub = c.global(subdomain);
  if (!sub) return {};
  Ref sub_text = format_simple(sub.get());
  if (!sub_text) return {};
  return Ref::steal(PyUnicode_FromFormat("https://%U.%U%s", uuid_text.get(), sub_text.get(), kDomainSuffix));
}

}  // namespace

Ref api_domain(const Call& c, PyObject* model, const Name& subdomain, int test_line, int compose_line) noexcept {
  Ref domain_url = Ref::steal(PyObject_GetAttr(model, k_domain_url.get()));
  int given = domain_url ? PyObject_IsTrue(domain_url.get()) : -1;
  if (given < 0) return c.fail(test_line);
  if (given) return domain_url;
  Ref url = fallback_domain(c, model, subdomain);
  if (!url) return c.fail(compose_line);
  return url;
}

}  // namespace actions
