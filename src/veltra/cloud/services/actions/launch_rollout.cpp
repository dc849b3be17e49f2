// veltra.cloud.services.actions.launch_rollout: deploys the application in the
// current working directory to an environment, and redeploys it when the
// service says it is there already.
//
// Read from the top: what the module is (its names, the source lines its
// failures report, its table), then `action`, one call per phase of a deploy,
// then the phases in the order they run, then the two prompts and `_redeploy`.
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

// The module body's imports.
FRAME_NAME(k_shutil, "shutil");
FRAME_NAME(k_tempfile, "tempfile");
FRAME_NAME(k_pathlib, "pathlib");
FRAME_NAME(k_path, "Path");
FRAME_NAME(k_constants_module, "veltra.cloud.constants");
FRAME_NAME(k_subdomain, "VELTRA_ENV_SUBDOMAIN");
FRAME_NAME(k_model, "DeployResponse");
FRAME_NAME(k_errors_module, "veltra.errors");
FRAME_NAME(k_already_deployed, "VeltraCloudAlreadyDeployedError");

// The parameters beyond those every action spells alike.
FRAME_NAME(k_deploy_type, "deploy_type");
FRAME_NAME(k_lakehouse_type, "lakehouse_type");
FRAME_NAME(k_from_env, "from_env");
FRAME_NAME(k_no_input, "no_input");
FRAME_NAME(k_deploy_data, "deploy_data");

// The source lines that a failure reports, grouped by the step that fails.
struct PromptLines {
  int def;  // def want_..._input(self) -> str:
  int ask;  //     return self._input("... (y/N): "), the answer's type checked as it returns
};
struct ConfirmLines {
  int test;    // if not no_input:
  int ask;     //     want_to_signup = self.want_deploy_input()
  int answer;  //     if want_to_signup.lower() != "y": return False
};
struct CopyIfPresent {
  int test;  // if Path(<name>).exists():
  int copy;  //     shutil.copy(<name>, app_dir / <name>)
};
struct StagingLines {
  int temp_dir;      // with tempfile.TemporaryDirectory() as temp_dir:
  int app_dir;       //     app_dir = Path(temp_dir) / "app"
  int sources;       //     shutil.copytree("src", app_dir / "src")
  int requirements;  //     shutil.copy("requirements.txt", app_dir / "requirements.txt")
  CopyIfPresent pyproject;
  CopyIfPresent cli_settings;
  int make_archive;  //     shutil.make_archive("app", "zip", temp_dir)
};
struct ArchiveLines {
  int open;    // with open("app.zip", "rb") as f:
  int encode;  //     _data = base64.b64encode(f.read()).decode("utf-8")
};
struct RedeployLines {
  int except_clause;  // except VeltraCloudAlreadyDeployedError:
  int answer;         //     if not no_input and self.want_redeploy_input() != "y": return False
  int call;           //     return self._redeploy(deploy_data)
};
// The common ending of `action` and `_redeploy`.
struct ReportLines {
  int model;           // deploy_response = DeployResponse(**response_data["details"])
  int domain_test;     // deploy_response.domain_url, tested
  int domain_compose;  // the fallback domain
  int first_message;   // self._print("Deploy is in progress now. ...")
  int second_message;  // self._print(f"Your API domain: {domain_url}")
};

// Every line of the module, in source order (ints alone, so that the check
// below reads them in declaration order).
struct DeployLines {
  int import_base64, import_shutil, import_tempfile, import_path, import_any;  // import ...; from pathlib/typing
  int import_subdomain, import_model, import_base, import_error;               // from veltra... import ...
  int class_statement;                                                         // class LaunchRolloutAction(...):
  PromptLines deploy_prompt;
  PromptLines redeploy_prompt;
  int action_def;  // def action(self, deploy_type, ..., *, no_input=False) -> bool:
  ConfirmLines confirm;
  StagingLines staging;
  ArchiveLines archive;
  int delete_archive;  // Path("app.zip").unlink(missing_ok=True)
  int credentials;     // encrypted_data = self._credentials_data()
  int request;         // deploy_data = {"data": ..., "zip_archive": _data, ...}
  int send;            // try: response_data = self.execute_transaction("CreateAppDeploy", deploy_data)
  RedeployLines redeploy;
  ReportLines report;
  int redeploy_def;  // def _redeploy(self, deploy_data: dict[str, Any]) -> bool:
  int flag;          //     deploy_data["redeploy"] = True
  int resend;        //     response_data = self.execute_transaction("CreateAppDeploy", deploy_data)
  ReportLines redeploy_report;
};

constexpr DeployLines kAt = {
    .import_base64 = 1,
    .import_shutil = 2,
    .import_tempfile = 3,
    .import_path = 4,
    .import_any = 5,
    .import_subdomain = 7,
    .import_model = 8,
    .import_base = 9,
    .import_error = 10,
    .class_statement = 13,
    .deploy_prompt = {.def = 18, .ask = 25},
    .redeploy_prompt = {.def = 27, .ask = 34},
    .action_def = 36,
    .confirm = {.test = 62, .ask = 63, .answer = 65},
    .staging = {.temp_dir = 68,
                .app_dir = 69,
                .sources = 70,
                .requirements = 71,
                .pyproject = {.test = 73, .copy = 74},
                .cli_settings = {.test = 76, .copy = 77},
                .make_archive = 79},
    .archive = {.open = 81, .encode = 82},
    .delete_archive = 84,
    .credentials = 86,
    .request = 88,
    .send = 99,
    .redeploy = {.except_clause = 100, .answer = 101, .call = 104},
    .report = {.model = 106, .domain_test = 109, .domain_compose = 110, .first_message = 113, .second_message = 114},
    .redeploy_def = 118,
    .flag = 119,
    .resend = 121,
    .redeploy_report =
        {.model = 123, .domain_test = 126, .domain_compose = 127, .first_message = 130, .second_message = 131},
};
// Each line comes after the one before: a line that slips out of order does
// not compile.
static_assert(frame::lines_ascend(frame::lines_of(kAt)));

constexpr Statement kStatements[] = {
    {kAt.import_base64, &k_base64},
    {kAt.import_shutil, &k_shutil},
    {kAt.import_tempfile, &k_tempfile},
    {kAt.import_path, &k_pathlib, &k_path},
    {kAt.import_any, &k_typing, &k_any},
    {kAt.import_subdomain, &k_constants_module, &k_subdomain},
    {kAt.import_model, &k_models_module, &k_model},
    {kAt.import_base, &k_base_module, &k_cloud_action_base},
    {kAt.import_error, &k_errors_module, &k_already_deployed},
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
consteval MethodSpec prompt(const char* name, const PromptLines& at, const char* what, frame::Body body) {
  return {.name = name,
          .def_line = at.def,
          .params = kSelfOnly,
          .n_kwonly = 0,
          .return_annotation = "str",
          .locals = {},
          .doc = what,
          .body = body,
          .return_check_line = at.ask};
}
#define PROMPT_DOC(what)                                        \
  "\n        Prompts the user to confirm if they want to " what \
  ".\n\n"                                                       \
  "        Returns:\n"                                          \
  "            str: The user's input, stripped of leading and trailing whitespace.\n        "

constexpr MethodSpec kMethods[] = {
    prompt("want_deploy_input", kAt.deploy_prompt, PROMPT_DOC("deploy the app"), want_deploy_input),
    prompt("want_redeploy_input", kAt.redeploy_prompt, PROMPT_DOC("redeploy the app"), want_redeploy_input),
    {
        .name = "action",
        .def_line = kAt.action_def,
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
        .def_line = kAt.redeploy_def,
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
    .class_line = kAt.class_statement,
    .class_name = "LaunchRolloutAction",
    .class_doc = "\n    Class to handle the creation of a deploy action.\n    ",
    .methods = kMethods,
    .keeps_open = true,
};

// The arguments the bodies read, by name.
constexpr int kNoInput = frame::param_index(kActionParams, k_no_input);
constexpr int kDeployData = frame::param_index(kRedeployParams, k_deploy_data);

// ---------------------------------------------------------------------------
// What it does: `action`, one call per phase. Each phase adds the traceback
// entry of the statement that failed (it takes the lines of its statements);
// `action` passes its failure on.

int confirm(const Call& c, const ConfirmLines& at) noexcept;
Ref pack(const Call& c, const StagingLines& at) noexcept;
bool read_archive(const Call& c, Ref& data, const ArchiveLines& at) noexcept;
Ref delete_archive(const Call& c, int line) noexcept;
Ref request(const Call& c, PyObject* encrypted_data, PyObject* data, int line) noexcept;
Ref send(const Call& c, Transaction& execute, PyObject* deploy_data, int line) noexcept;
PyObject* on_already_deployed(const Call& c, PyObject* deploy_data, const RedeployLines& at) noexcept;
PyObject* report(const Call& c, PyObject* response_data, const ReportLines& at) noexcept;

PyObject* action(Call& c) noexcept {
  // if not no_input: want_to_signup = self.want_deploy_input(); if want_to_signup.lower() != "y": return False
  const int confirmed = confirm(c, kAt.confirm);
  if (confirmed < 0) return nullptr;
  if (!confirmed) Py_RETURN_FALSE;

  // with tempfile.TemporaryDirectory() as temp_dir: <stage the application in temp_dir/app, pack it into "app.zip">
  if (!pack(c, kAt.staging)) return nullptr;

  // with open("app.zip", "rb") as f: _data = base64.b64encode(f.read()).decode("utf-8")
  Ref data;  // stays null (`_data` unbound) when the file's exit method swallowed an exception
  if (!read_archive(c, data, kAt.archive)) return nullptr;

  // Path("app.zip").unlink(missing_ok=True)
  if (!delete_archive(c, kAt.delete_archive)) return nullptr;

  // encrypted_data = self._credentials_data()
  Ref encrypted_data = call_method(c.self(), k_credentials_data);
  if (!encrypted_data) return c.fail(kAt.credentials);

  // deploy_data = {"data": base64.b64encode(encrypted_data).decode("utf-8"), "zip_archive": _data, ...}
  Ref deploy_data = request(c, encrypted_data.get(), data.get(), kAt.request);
  if (!deploy_data) return nullptr;
  data.reset();
  encrypted_data.reset();

  // try: response_data = self.execute_transaction("CreateAppDeploy", deploy_data)
  // except VeltraCloudAlreadyDeployedError: <ask again>; return self._redeploy(deploy_data)
  Transaction execute;
  Ref response_data = send(c, execute, deploy_data.get(), kAt.send);
  if (!response_data) return on_already_deployed(c, deploy_data.get(), kAt.redeploy);
  deploy_data.reset();

  // deploy_response = DeployResponse(**response_data["details"]); <print the API domain>; return True
  return report(c, response_data.get(), kAt.report);
}

// ---------------------------------------------------------------------------
// The phases, in the order they run.

// obj.<name>
Ref attr(PyObject* obj, const Name& name) noexcept { return Ref::steal(PyObject_GetAttr(obj, name.get())); }

// Confirming.
FRAME_NAME(k_want_deploy_input, "want_deploy_input");
FRAME_NAME(k_lower, "lower");
FRAME_NAME(k_yes, "y");

// 1 when `answer` != "y", 0 when equal, -1 with an exception set.
int differs_from_yes(PyObject* answer) noexcept {
  Ref differs = Ref::steal(PyObject_RichCompare(answer, k_yes.get(), Py_NE));
  return differs ? PyObject_IsTrue(differs.get()) : -1;
}

// if not no_input: ask, and stop unless the answer is "y" in any case. 1 to
// deploy, 0 when the user declined, -1 with the entry added.
int confirm(const Call& c, const ConfirmLines& at) noexcept {
  int quiet = PyObject_IsTrue(c.arg(kNoInput));
  if (quiet < 0) return c.fail(at.test);
  if (quiet) return 1;
  Ref want_to_signup = call_method(c.self(), k_want_deploy_input);
  if (!want_to_signup) return c.fail(at.ask);
  Ref lowered = call_method(want_to_signup.get(), k_lower);
  if (!lowered) return c.fail(at.answer);
  int declined = differs_from_yes(lowered.get());
  if (declined < 0) return c.fail(at.answer);
  return declined ? 0 : 1;
}

// Staging and packing.
FRAME_NAME(k_temporary_directory, "TemporaryDirectory");
FRAME_NAME(k_app, "app");
FRAME_NAME(k_copytree, "copytree");
FRAME_NAME(k_src, "src");
FRAME_NAME(k_copy, "copy");
FRAME_NAME(k_requirements, "requirements.txt", Name::kText);
FRAME_NAME(k_exists, "exists");
FRAME_NAME(k_pyproject, "pyproject.toml", Name::kText);
FRAME_NAME(k_cli_settings, ".veltra-cli", Name::kText);
FRAME_NAME(k_make_archive, "make_archive");
FRAME_NAME(k_zip, "zip");

// Files copied into the staging directory only when they exist.
struct OptionalFile {
  const Name* name;
  CopyIfPresent at;
};
constexpr OptionalFile kOptionalFiles[] = {{&k_pyproject, kAt.staging.pyproject},
                                           {&k_cli_settings, kAt.staging.cli_settings}};

// Path(<arg>), with `Path` read as a module global.
Ref new_path(const Call& c, PyObject* arg) noexcept {
  Ref path = c.global(k_path);
  if (!path) return {};
  return frame::vectorcall(path.get(), arg);
}

// shutil.<fn>(<source>, app_dir / <source>): the callee is looked up before the
// destination is made. Returns what the copy returned.
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
Ref stage(const Call& c, PyObject* temp_dir, const StagingLines& at) noexcept {
  // app_dir = Path(temp_dir) / "app"
  Ref root = new_path(c, temp_dir);
  if (!root) return c.fail(at.app_dir);
  Ref app_dir = Ref::steal(PyNumber_TrueDivide(root.get(), k_app.get()));
  if (!app_dir) return c.fail(at.app_dir);

  if (!copy_into(c, k_copytree, k_src, app_dir.get(), at.sources)) return {};
  if (!copy_into(c, k_copy, k_requirements, app_dir.get(), at.requirements)) return {};
  for (const OptionalFile& file : kOptionalFiles) {
    Ref path = new_path(c, file.name->get());
    if (!path) return c.fail(file.at.test);
    Ref exists = call_method(path.get(), k_exists);
    if (!exists) return c.fail(file.at.test);
    int present = PyObject_IsTrue(exists.get());
    if (present < 0) return c.fail(file.at.test);
    if (present && !copy_into(c, k_copy, *file.name, app_dir.get(), file.at.copy)) return {};
  }

  // shutil.make_archive("app", "zip", temp_dir)
  Ref shutil = c.global(k_shutil);
  if (!shutil) return c.fail(at.make_archive);
  Ref make_archive = attr(shutil.get(), k_make_archive);
  if (!make_archive) return c.fail(at.make_archive);
  Ref archive = frame::vectorcall(make_archive.get(), k_app.get(), k_zip.get(), temp_dir);
  if (!archive) return c.fail(at.make_archive);
  return archive;
}

// with tempfile.TemporaryDirectory() as temp_dir: <stage>. Returns what the block
// ended with: make_archive's result, or None when the directory's exit method
// swallowed an exception.
Ref pack(const Call& c, const StagingLines& at) noexcept {
  Ref tempfile = c.global(k_tempfile);
  if (!tempfile) return c.fail(at.temp_dir);
  Ref manager = call_method(tempfile.get(), k_temporary_directory);
  if (!manager) return c.fail(at.temp_dir);
  With temporary;
  Ref temp_dir = temporary.enter(manager.get());
  if (!temp_dir) return c.fail(at.temp_dir);
  Ref archive = stage(c, temp_dir.get(), at);
  if (!archive) return temporary.leave_raising(c, at.temp_dir) ? Ref::borrow(Py_None) : Ref();
  if (!temporary.leave()) return c.fail(at.temp_dir);
  return archive;
}

// Reading and deleting the archive.
FRAME_NAME(k_archive, "app.zip", Name::kText);
FRAME_NAME(k_rb, "rb");
FRAME_NAME(k_read, "read");
FRAME_NAME(k_unlink, "unlink");
FRAME_NAME(k_missing_ok, "missing_ok");

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
// True when the block ended; `data` is then _data, or stays null when the
// file's exit method swallowed an exception, which leaves `_data` unbound.
bool read_archive(const Call& c, Ref& data, const ArchiveLines& at) noexcept {
  Ref opened = frame::vectorcall(frame::kept_open(), k_archive.get(), k_rb.get());
  if (!opened) return c.fail(at.open);
  With file;
  Ref f = file.enter(opened.get());
  if (!f) return c.fail(at.open);
  Ref text = encode_file(c, f.get());
  if (!text) {
    c.fail(at.encode);
    return file.leave_raising(c, at.open);
  }
  if (!file.leave()) return c.fail(at.open);
  data = std::move(text);
  return true;
}

// Path("app.zip").unlink(missing_ok=True)
Ref delete_archive(const Call& c, int line) noexcept {
  Ref path = new_path(c, k_archive.get());
  if (!path) return c.fail(line);
  Ref kwnames = Ref::steal(PyTuple_Pack(1, k_missing_ok.get()));
  if (!kwnames) return c.fail(line);
  PyObject* args[] = {path.get(), Py_True};
  Ref done =
      Ref::steal(PyObject_VectorcallMethod(k_unlink.get(), args, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames.get()));
  if (!done) return c.fail(line);
  return done;
}

// Sending.
FRAME_NAME(k_zip_archive, "zip_archive");
FRAME_NAME(k_transaction, "CreateAppDeploy");

// The request's keys after "data" and "zip_archive", in request order: parameter
// names, so each key's value is the argument of that name.
constexpr const Name* kRequest[] = {&k_deploy_type,    &k_env_name,         &k_from_env,
                                    &k_lakehouse_type, &k_application_uuid, &k_application_name};
constexpr auto kRequestParams = []() consteval {
  std::array<int, std::size(kRequest)> out{};
  for (std::size_t i = 0; i < out.size(); ++i) out[i] = frame::param_index(kActionParams, *kRequest[i]);
  return out;
}();

// deploy_data = {"data": ..., "zip_archive": _data, ...}; `data` null: `_data` is unbound.
Ref request(const Call& c, PyObject* encrypted_data, PyObject* data, int line) noexcept {
  Ref deploy_data = Ref::steal(PyDict_New());
  if (!deploy_data) return c.fail(line);
  Ref payload = b64_text(c, encrypted_data);
  if (!payload || PyDict_SetItem(deploy_data.get(), k_data.get(), payload.get()) < 0) return c.fail(line);
  if (!data) {
    PyErr_SetString(PyExc_UnboundLocalError,
                    "cannot access local variable '_data' where it is not associated with a value");
    return c.fail(line);
  }
  if (PyDict_SetItem(deploy_data.get(), k_zip_archive.get(), data) < 0) return c.fail(line);
  for (std::size_t i = 0; i < kRequestParams.size(); ++i) {
    if (PyDict_SetItem(deploy_data.get(), kRequest[i]->get(), c.arg(kRequestParams[i])) < 0) return c.fail(line);
  }
  return deploy_data;
}

// response_data = self.execute_transaction("CreateAppDeploy", deploy_data): a
// failure of the lookup or of the call gets the entry of `line`. The caller
// holds `execute` (the callable looked up) to the end of its own call.
Ref send(const Call& c, Transaction& execute, PyObject* deploy_data, int line) noexcept {
  Ref response_data = execute.look_up(c.self()) ? execute.send(k_transaction.get(), deploy_data) : Ref();
  if (!response_data) return c.fail(line);
  return response_data;
}

// The redeploy decision.
FRAME_NAME(k_want_redeploy_input, "want_redeploy_input");
FRAME_NAME(k_redeploy_method, "_redeploy");

// except VeltraCloudAlreadyDeployedError: with the pending exception, which has
// the entry of the transaction's line already.
PyObject* on_already_deployed(const Call& c, PyObject* deploy_data, const RedeployLines& at) noexcept {
  Handled caught;
  Ref already_deployed = c.global(k_already_deployed);
  if (!already_deployed) return c.fail(at.except_clause);
  int matched = caught.matches(already_deployed.get());
  if (matched < 0) return c.fail(at.except_clause);
  if (!matched) {
    caught.reraise();
    return nullptr;
  }

  // if not no_input and self.want_redeploy_input() != "y": return False
  int quiet = PyObject_IsTrue(c.arg(kNoInput));
  if (quiet < 0) return c.fail(at.answer);
  if (!quiet) {
    Ref answer = call_method(c.self(), k_want_redeploy_input);
    if (!answer) return c.fail(at.answer);
    int declined = differs_from_yes(answer.get());
    if (declined < 0) return c.fail(at.answer);
    if (declined) Py_RETURN_FALSE;
  }

  // return self._redeploy(deploy_data)
  Ref result = call_method(c.self(), k_redeploy_method, deploy_data);
  if (!result) return c.fail(at.call);
  return result.release();
}

// Reporting.
FRAME_NAME(k_details, "details");
FRAME_NAME(k_print, "_print");
FRAME_NAME(k_in_progress, "Deploy is in progress now. After a few minutes, you can check the status of your deploy.",
           Name::kText);
FRAME_NAME(k_domain_prefix, "Your API domain: ", Name::kText);

// The common ending: the response model, the API domain, the two messages.
PyObject* report(const Call& c, PyObject* response_data, const ReportLines& at) noexcept {
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

// ---------------------------------------------------------------------------
// The prompts and `_redeploy`.

FRAME_NAME(k_input, "_input");
FRAME_NAME(k_deploy_prompt, "Do you want to deploy your app? (y/N): ", Name::kText);
FRAME_NAME(k_redeploy_prompt, "Deploy already exists. Do you want to redeploy your app? (y/N): ", Name::kText);
FRAME_NAME(k_redeploy, "redeploy");

// return self._input(<prompt>); the frame checks the answer's type.
PyObject* ask(const Call& c, const Name& prompt, int line) noexcept {
  Ref answer = call_method(c.self(), k_input, prompt.get());
  if (!answer) return c.fail(line);
  return answer.release();
}

PyObject* want_deploy_input(Call& c) noexcept { return ask(c, k_deploy_prompt, kAt.deploy_prompt.ask); }
PyObject* want_redeploy_input(Call& c) noexcept { return ask(c, k_redeploy_prompt, kAt.redeploy_prompt.ask); }

PyObject* redeploy(Call& c) noexcept {
  PyObject* deploy_data = c.arg(kDeployData);

  // deploy_data["redeploy"] = True
  if (PyDict_SetItem(deploy_data, k_redeploy.get(), Py_True) < 0) return c.fail(kAt.flag);

  // response_data = self.execute_transaction("CreateAppDeploy", deploy_data)
  Transaction execute;
  Ref response_data = send(c, execute, deploy_data, kAt.resend);
  if (!response_data) return nullptr;
  return report(c, response_data.get(), kAt.redeploy_report);
}

}  // namespace

FRAME_MODULE_INIT(kModule)
