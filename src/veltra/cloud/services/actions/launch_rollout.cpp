// veltra.cloud.services.actions.launch_rollout: deploys the application in the
// current working directory to an environment, and redeploys it when the
// service says it is there already.
#include <array>
#include <iterator>

#include "deploy.h"
#include "flow.h"

namespace {
using namespace actions;
using frame::Check;
using frame::Default;
using frame::Handled;
using frame::MethodSpec;
using frame::ModuleSpec;
using frame::Statement;
using frame::With;

// ---------------------------------------------------------------------------
// What this module is.

FRAME_NAME(k_shutil, "shutil");
FRAME_NAME(k_tempfile, "tempfile");
FRAME_NAME(k_pathlib, "pathlib");
FRAME_NAME(k_path, "Path");
FRAME_NAME(k_constants_module, "veltra.cloud.constants");
FRAME_NAME(k_subdomain, "VELTRA_ENV_SUBDOMAIN");
FRAME_NAME(k_model, "DeployResponse");
FRAME_NAME(k_errors_module, "veltra.errors");
FRAME_NAME(k_already_deployed, "VeltraCloudAlreadyDeployedError");

FRAME_NAME(k_deploy_type, "deploy_type");
FRAME_NAME(k_lakehouse_type, "lakehouse_type");
FRAME_NAME(k_from_env, "from_env");
FRAME_NAME(k_no_input, "no_input");
FRAME_NAME(k_deploy_data, "deploy_data");

constexpr Statement kStatements[] = {
    {1, &k_base64},
    {2, &k_shutil},
    {3, &k_tempfile},
    {4, &k_pathlib, &k_path},
    {5, &k_typing, &k_any},
    {7, &k_constants_module, &k_subdomain},
    {8, &k_models_module, &k_model},
    {9, &k_base_module, &k_cloud_action_base},
    {10, &k_errors_module, &k_already_deployed},
};

constexpr Param kSelfOnly[] = {frame::kSelf};

constexpr Param kActionParams[] = {
    frame::kSelf,
    {&k_deploy_type, "str", Check::kStr},
    {&k_lakehouse_type, "str", Check::kStr},
    {&k_env_name, "str", Check::kStr},
    {&k_from_env, "str | None", Check::kNone, Default::kNone},
    kApplicationUuid,
    kApplicationName,
    {&k_no_input, "bool", Check::kNone, Default::kFalse},
};
constexpr const char* kActionLocals[] = {"want_to_signup",  "temp_dir",       "app_dir",     "f",
                                         "_data",           "encrypted_data", "deploy_data", "response_data",
                                         "deploy_response", "domain_url"};

constexpr Param kRedeployParams[] = {
    frame::kSelf,
    {&k_deploy_data, "dict[str, Any]", Check::kDict},
};
constexpr const char* kRedeployLocals[] = {"response_data", "deploy_response", "domain_url"};

PyObject* want_deploy_input(Call& c) noexcept;
PyObject* want_redeploy_input(Call& c) noexcept;
PyObject* action(Call& c) noexcept;
PyObject* redeploy(Call& c) noexcept;

// A confirmation prompt: self only, returns the answer, which must be a str.
consteval MethodSpec prompt(const char* name, int def_line, const char* what, frame::Body body, int return_line) {
  return {.name = name,
          .def_line = def_line,
          .params = kSelfOnly,
          .n_kwonly = 0,
          .return_annotation = "str",
          .locals = {},
          .doc = what,
          .body = body,
          .return_check_line = return_line};
}
#define PROMPT_DOC(what)                                        \
  "\n        Prompts the user to confirm if they want to " what \
  ".\n\n"                                                       \
  "        Returns:\n"                                          \
  "            str: The user's input, stripped of leading and trailing whitespace.\n        "

constexpr MethodSpec kMethods[] = {
    prompt("want_deploy_input", 18, PROMPT_DOC("deploy the app"), want_deploy_input, 25),
    prompt("want_redeploy_input", 27, PROMPT_DOC("redeploy the app"), want_redeploy_input, 34),
    {
        .name = "action",
        .def_line = 36,
        .params = kActionParams,
        .n_kwonly = 1,
        .return_annotation = "bool",
        .locals = kActionLocals,
        .doc = "\n        Executes the deploy action with the given parameters.\n\n"
               "        Args:\n"
               "            deploy_type (str): The type of deploy to perform.\n"
               "            lakehouse_type (str): The type of lakehouse to deploy.\n"
               "            env_name (str): The name of the environment to deploy to.\n"
               "            from_env (str | None, optional): The environment to deploy from. Defaults to None.\n"
               "            application_uuid (str | None, optional): The UUID of the application. Defaults to None.\n"
               "            application_name (str | None, optional): The name of the application. Defaults to None.\n"
               "            no_input (bool, optional): If True, skips user input prompts. Defaults to False.\n\n"
               "        Returns:\n"
               "            bool: True if the deploy action was successful, False otherwise.\n"
               "        ",
        .body = action,
    },
    {
        .name = "_redeploy",
        .def_line = 118,
        .params = kRedeployParams,
        .n_kwonly = 0,
        .return_annotation = "bool",
        .locals = kRedeployLocals,
        .doc = nullptr,
        .body = redeploy,
    },
};

constexpr ModuleSpec kModule = {
    ACTION_MODULE_NAMES,
    .statements = kStatements,
    .base_name = &k_cloud_action_base,
    .class_line = 13,
    .class_name = "LaunchRolloutAction",
    .class_doc = "\n    Class to handle the creation of a deploy action.\n    ",
    .methods = kMethods,
    .keeps_open = true,
};

// ---------------------------------------------------------------------------
// What it does.

FRAME_NAME(k_input, "_input");
FRAME_NAME(k_print, "_print");
FRAME_NAME(k_want_deploy_input, "want_deploy_input");
FRAME_NAME(k_want_redeploy_input, "want_redeploy_input");
FRAME_NAME(k_redeploy_method, "_redeploy");
FRAME_NAME(k_lower, "lower");
FRAME_NAME(k_temporary_directory, "TemporaryDirectory");
FRAME_NAME(k_copytree, "copytree");
FRAME_NAME(k_copy, "copy");
FRAME_NAME(k_make_archive, "make_archive");
FRAME_NAME(k_exists, "exists");
FRAME_NAME(k_unlink, "unlink");
FRAME_NAME(k_missing_ok, "missing_ok");
FRAME_NAME(k_read, "read");
FRAME_NAME(k_zip_archive, "zip_archive");
FRAME_NAME(k_redeploy, "redeploy");
FRAME_NAME(k_details, "details");
FRAME_NAME(k_transaction, "CreateAppDeploy");
FRAME_NAME(k_yes, "y");
FRAME_NAME(k_app, "app");
FRAME_NAME(k_src, "src");
FRAME_NAME(k_zip, "zip");
FRAME_NAME(k_rb, "rb");
FRAME_NAME(k_requirements, "requirements.txt", Name::kText);
FRAME_NAME(k_pyproject, "pyproject.toml", Name::kText);
FRAME_NAME(k_cli_settings, ".veltra-cli", Name::kText);
FRAME_NAME(k_archive, "app.zip", Name::kText);
FRAME_NAME(k_deploy_prompt, "Do you want to deploy your app? (y/N): ", Name::kText);
FRAME_NAME(k_redeploy_prompt, "Deploy already exists. Do you want to redeploy your app? (y/N): ", Name::kText);
FRAME_NAME(k_in_progress, "Deploy is in progress now. After a few minutes, you can check the status of your deploy.",
           Name::kText);
FRAME_NAME(k_domain_prefix, "Your API domain: ", Name::kText);

// The arguments the bodies read, by name.
constexpr int kNoInput = frame::param_index(kActionParams, k_no_input);
constexpr int kDeployData = frame::param_index(kRedeployParams, k_deploy_data);

// The request's keys after "data" and "zip_archive", in request order: parameter
// names, so each key's value is the argument of that name.
constexpr const Name* kRequest[] = {&k_deploy_type,    &k_env_name,         &k_from_env,
                                    &k_lakehouse_type, &k_application_uuid, &k_application_name};
constexpr auto kRequestParams = []() consteval {
  std::array<int, std::size(kRequest)> out{};
  for (std::size_t i = 0; i < out.size(); ++i) out[i] = frame::param_index(kActionParams, *kRequest[i]);
  return out;
}();

// Files copied into the staging directory only when they exist.
struct OptionalFile {
  const Name* name;
  int test_line;  // if Path(<name>).exists():
  int copy_line;  //     shutil.copy(<name>, app_dir / <name>)
};
constexpr OptionalFile kOptionalFiles[] = {{&k_pyproject, 73, 74}, {&k_cli_settings, 76, 77}};

// The lines of the common ending of `action` and `_redeploy`.
struct ReportLines {
  int model;           // deploy_response = DeployResponse(**response_data["details"])
  int domain_test;     // deploy_response.domain_url, tested
  int domain_compose;  // the fallback domain
  int first_message;   // self._print("Deploy is in progress now. ...")
  int second_message;  // self._print(f"Your API domain: {domain_url}")
};
constexpr ReportLines kActionReport = {106, 109, 110, 113, 114};
constexpr ReportLines kRedeployReport = {123, 126, 127, 130, 131};

Ref attr(PyObject* obj, const Name& name) noexcept { return Ref::steal(PyObject_GetAttr(obj, name.get())); }

// return self._input(<prompt>); the frame checks the answer's type.
PyObject* ask(Call& c, const Name& prompt, int line) noexcept {
  Ref answer = call_method(c.self(), k_input, prompt.get());
  if (!answer) return c.fail(line);
  return answer.release();
}

PyObject* want_deploy_input(Call& c) noexcept { return ask(c, k_deploy_prompt, 25); }
PyObject* want_redeploy_input(Call& c) noexcept { return ask(c, k_redeploy_prompt, 34); }

// 1 when `answer` != "y", 0 when equal, -1 with an exception set.
int differs_from_yes(PyObject* answer) noexcept {
  Ref differs = Ref::steal(PyObject_RichCompare(answer, k_yes.get(), Py_NE));
  return differs ? PyObject_IsTrue(differs.get()) : -1;
}

// Path(<arg>), with `Path` read as a module global.
Ref new_path(const Call& c, PyObject* arg) noexcept {
  Ref path = c.global(k_path);
  if (!path) return {};
  return frame::vectorcall(path.get(), arg);
}

// shutil.<fn>(<source>, app_dir / <source>): the callee is looked up before the
// destination is made.
Ref copy_into(const Call& c, const Name& fn, const Name& source, PyObject* app_dir, int line) noexcept {
  Ref shutil = c.global(k_shutil);
  if (!shutil) return c.fail(line);
  Ref copy = attr(shutil.get(), fn);
  if (!copy) return c.fail(line);
  Ref destination = Ref::steal(PyNumber_TrueDivide(app_dir, source.get()));
  if (!destination) return c.fail(line);
  Ref copied = frame::vectorcall(copy.get(), source.get(), destination.get());
  if (!copied) return c.fail(line);
  return copied;
}

// The body of `with tempfile.TemporaryDirectory() as temp_dir:`: stages the
// application in temp_dir/app and packs it into "app.zip". Returns the
// archive's name as make_archive gives it.
Ref stage(const Call& c, PyObject* temp_dir) noexcept {
  // app_dir = Path(temp_dir) / "app"
  Ref root = new_path(c, temp_dir);
  if (!root) return c.fail(69);
  Ref app_dir = Ref::steal(PyNumber_TrueDivide(root.get(), k_app.get()));
  if (!app_dir) return c.fail(69);

  if (!copy_into(c, k_copytree, k_src, app_dir.get(), 70)) return {};
  if (!copy_into(c, k_copy, k_requirements, app_dir.get(), 71)) return {};
  for (const OptionalFile& file : kOptionalFiles) {
    Ref path = new_path(c, file.name->get());
    if (!path) return c.fail(file.test_line);
    Ref exists = call_method(path.get(), k_exists);
    if (!exists) return c.fail(file.test_line);
    int present = PyObject_IsTrue(exists.get());
    if (present < 0) return c.fail(file.test_line);
    if (present && !copy_into(c, k_copy, *file.name, app_dir.get(), file.copy_line)) return {};
  }

  // shutil.make_archive("app", "zip", temp_dir)
  Ref shutil = c.global(k_shutil);
  if (!shutil) return c.fail(79);
  Ref make_archive = attr(shutil.get(), k_make_archive);
  if (!make_archive) return c.fail(79);
  Ref archive = frame::vectorcall(make_archive.get(), k_app.get(), k_zip.get(), temp_dir);
  if (!archive) return c.fail(79);
  return archive;
}

// with tempfile.TemporaryDirectory() as temp_dir: <stage>. Returns what the block
// ended with: make_archive's result, or None when the directory's exit method
// swallowed an exception.
Ref pack(const Call& c) noexcept {
  Ref tempfile = c.global(k_tempfile);
  if (!tempfile) return c.fail(68);
  Ref manager = call_method(tempfile.get(), k_temporary_directory);
  if (!manager) return c.fail(68);
  With temporary;
  Ref temp_dir = temporary.enter(manager.get());
  if (!temp_dir) return c.fail(68);
  Ref archive = stage(c, temp_dir.get());
  if (!archive) return temporary.leave_raising(c, 68) ? Ref::borrow(Py_None) : Ref();
  if (!temporary.leave()) return c.fail(68);
  return archive;
}

// base64.b64encode(f.read()).decode("utf-8")
Ref encode_file(const Call& c, PyObject* f) noexcept {
  Ref base64 = c.global(k_base64);
  if (!base64) return {};
  Ref b64encode = attr(base64.get(), k_b64encode);
  if (!b64encode) return {};
  Ref content = call_method(f, k_read);
  if (!content) return {};
  Ref encoded = frame::vectorcall(b64encode.get(), content.get());
  if (!encoded) return {};
  return call_method(encoded.get(), k_decode, k_utf8.get());
}

// with open("app.zip", "rb") as f: _data = <the archive as Base64 text>
// Returns _data; when the file's exit method swallowed an exception, `_data`
// stays unbound: `bound` is then false and None is returned.
Ref read_archive(const Call& c, bool& bound) noexcept {
  bound = false;
  Ref opened = frame::vectorcall(frame::kept_open(), k_archive.get(), k_rb.get());
  if (!opened) return c.fail(81);
  With file;
  Ref f = file.enter(opened.get());
  if (!f) return c.fail(81);
  Ref text = encode_file(c, f.get());
  if (!text) {
    c.fail(82);
    return file.leave_raising(c, 81) ? Ref::borrow(Py_None) : Ref();
  }
  if (!file.leave()) return c.fail(81);
  bound = true;
  return text;
}

// Path("app.zip").unlink(missing_ok=True)
Ref delete_archive(const Call& c) noexcept {
  Ref path = new_path(c, k_archive.get());
  if (!path) return c.fail(84);
  Ref kwnames = Ref::steal(PyTuple_Pack(1, k_missing_ok.get()));
  if (!kwnames) return c.fail(84);
  PyObject* args[] = {path.get(), Py_True};
  Ref done =
      Ref::steal(PyObject_VectorcallMethod(k_unlink.get(), args, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames.get()));
  if (!done) return c.fail(84);
  return done;
}

// The common ending: the response model, the API domain, the two messages.
PyObject* report(Call& c, PyObject* response_data, const ReportLines& at) noexcept {
  PyObject* self = c.self();

  // deploy_response = DeployResponse(**response_data["details"])
  Ref model = c.global(k_model);
  if (!model) return c.fail(at.model);
  Ref details = get_item(response_data, k_details.get());
  if (!details) return c.fail(at.model);
  Ref deploy_response = response_model(model.get(), details.get());
  if (!deploy_response) return c.fail(at.model);

  Ref domain_url = api_domain(c, deploy_response.get(), k_subdomain, at.domain_test, at.domain_compose);
  if (!domain_url) return nullptr;

  if (!call_method(self, k_print, k_in_progress.get())) return c.fail(at.first_message);

  // self._print(f"Your API domain: {domain_url}"): the callee first, then the text.
  Ref print = attr(self, k_print);
  if (!print) return c.fail(at.second_message);
  Ref shown = format_simple(domain_url.get());
  if (!shown) return c.fail(at.second_message);
  Ref message = Ref::steal(PyUnicode_Concat(k_domain_prefix.get(), shown.get()));
  if (!message) return c.fail(at.second_message);
  if (!frame::vectorcall(print.get(), message.get())) return c.fail(at.second_message);
  Py_RETURN_TRUE;
}

// except VeltraCloudAlreadyDeployedError: with the pending exception, which has
// the entry of the transaction's line already.
PyObject* on_already_deployed(Call& c, PyObject* deploy_data) noexcept {
  Handled caught;
  Ref already_deployed = c.global(k_already_deployed);
  if (!already_deployed) return c.fail(100);
  int matched = caught.matches(already_deployed.get());
  if (matched < 0) return c.fail(100);
  if (!matched) {
    caught.reraise();
    return nullptr;
  }

  // if not no_input and self.want_redeploy_input() != "y": return False
  int quiet = PyObject_IsTrue(c.arg(kNoInput));
  if (quiet < 0) return c.fail(101);
  if (!quiet) {
    Ref answer = call_method(c.self(), k_want_redeploy_input);
    if (!answer) return c.fail(101);
    int declined = differs_from_yes(answer.get());
    if (declined < 0) return c.fail(101);
    if (declined) Py_RETURN_FALSE;
  }

  // return self._redeploy(deploy_data)
  Ref result = call_method(c.self(), k_redeploy_method, deploy_data);
  if (!result) return c.fail(104);
  return result.release();
}

// deploy_data = {"data": ..., "zip_archive": _data, ...}
Ref request(const Call& c, PyObject* encrypted_data, PyObject* data) noexcept {
  Ref deploy_data = Ref::steal(PyDict_New());
  if (!deploy_data) return c.fail(88);
  Ref payload = b64_text(c, encrypted_data);
  if (!payload || PyDict_SetItem(deploy_data.get(), k_data.get(), payload.get()) < 0) return c.fail(88);
  if (!data) {
    PyErr_SetString(PyExc_UnboundLocalError,
                    "cannot access local variable '_data' where it is not associated with a value");
    return c.fail(88);
  }
  if (PyDict_SetItem(deploy_data.get(), k_zip_archive.get(), data) < 0) return c.fail(88);
  for (std::size_t i = 0; i < kRequestParams.size(); ++i) {
    if (PyDict_SetItem(deploy_data.get(), kRequest[i]->get(), c.arg(kRequestParams[i])) < 0) return c.fail(88);
  }
  return deploy_data;
}

PyObject* action(Call& c) noexcept {
  PyObject* self = c.self();

  // if not no_input: ask, and stop unless the answer is "y" in any case.
  int quiet = PyObject_IsTrue(c.arg(kNoInput));
  if (quiet < 0) return c.fail(62);
  if (!quiet) {
    Ref want_to_signup = call_method(self, k_want_deploy_input);
    if (!want_to_signup) return c.fail(63);
    Ref lowered = call_method(want_to_signup.get(), k_lower);
    if (!lowered) return c.fail(65);
    int declined = differs_from_yes(lowered.get());
    if (declined < 0) return c.fail(65);
    if (declined) Py_RETURN_FALSE;
  }

  if (!pack(c)) return nullptr;
  bool bound = false;
  Ref data = read_archive(c, bound);
  if (!data) return nullptr;
  if (!delete_archive(c)) return nullptr;

  Ref encrypted_data = call_method(self, k_credentials_data);
  if (!encrypted_data) return c.fail(86);
  Ref deploy_data = request(c, encrypted_data.get(), bound ? data.get() : nullptr);
  if (!deploy_data) return nullptr;
  data.reset();
  encrypted_data.reset();

  // response_data = self.execute_transaction("CreateAppDeploy", deploy_data),
  // inside `try:`: a failure of the lookup or of the call goes to the handler.
  Transaction execute;
  Ref response_data = execute.look_up(self) ? execute.send(k_transaction.get(), deploy_data.get()) : Ref();
  if (!response_data) {
    c.fail(99);
    return on_already_deployed(c, deploy_data.get());
  }
  deploy_data.reset();
  return report(c, response_data.get(), kActionReport);
}

PyObject* redeploy(Call& c) noexcept {
  PyObject* deploy_data = c.arg(kDeployData);

  // deploy_data["redeploy"] = True
  if (PyDict_SetItem(deploy_data, k_redeploy.get(), Py_True) < 0) return c.fail(119);

  // response_data = self.execute_transaction("CreateAppDeploy", deploy_data)
  Transaction execute;
  if (!execute.look_up(c.self())) return c.fail(121);
  Ref response_data = execute.send(k_transaction.get(), deploy_data);
  if (!response_data) return c.fail(121);
  return report(c, response_data.get(), kRedeployReport);
}

}  // namespace

FRAME_MODULE_INIT(kModule)
