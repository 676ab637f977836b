// SSHClient.upload and download: one file copied over the SFTP session, reported as one line.
#include "calls.hpp"
#include "errors.hpp"
#include "ssh.hpp"

namespace tarn::ssh {

namespace {

// Reports a transfer as one printed line: the success line when `copied` is 0, otherwise the
// failure line for a raised exception of the Exception family, which is printed, never raised.
PyObject* report(int copied, const char* success_format, PyObject* source, PyObject* destination,
                 const char* failure_format) noexcept {
    if (copied == 0 && print_line(steal(PyUnicode_FromFormat(success_format, source, destination))) == 0)
        Py_RETURN_NONE;
    Ref exc = tarn::catch_exception();
    if (!exc) return nullptr;
    tarn::ExceptBlock except_block(exc.get());
    if (print_line(steal(PyUnicode_FromFormat(failure_format, exc.get()))) < 0) return nullptr;
    Py_RETURN_NONE;
}

// self.__sftp.put(local_path, remote_path): 0, or -1 with the failure raised.
int put_file(PyObject* self, PyObject* local_path, PyObject* remote_path) noexcept {
    Ref sftp = steal(getattr(self, state.s_sftp_attr));
    if (!sftp) return -1;
    Ref done = steal(tarn::call_method(state.s_put.get(), sftp.get(), local_path, remote_path));
    return done ? 0 : -1;
}

PyObject* upload_impl(PyObject* const* args, const Keywords&) noexcept {
    int copied = put_file(args[0], args[1], args[2]);
    return report(copied, "upload successfully: %U -> %U", args[1], args[2], "failed to upload: %S");
}

// self.__sftp.get(remote_path, local_path): 0, or -1 with the failure raised.
//
// paramiko's get creates (or truncates) the local file before it asks for the remote one, so a
// remote file that is missing or unreadable would cost the local file its contents. The remote
// file is opened for reading (and closed) first, through the same session: that open fails
// with the error get itself would raise, and the local file is not touched. A transfer that
// fails later may still leave a partly written local file.
int get_file(PyObject* self, PyObject* remote_path, PyObject* local_path) noexcept {
    Ref sftp = steal(getattr(self, state.s_sftp_attr));
    if (!sftp) return -1;
    Ref get = steal(getattr(sftp.get(), state.s_get));  // first: no session fails here
    if (!get) return -1;
    Ref probe = steal(tarn::call_method(state.s_open.get(), sftp.get(), remote_path, state.s_rb.get()));
    if (!probe) return -1;
    Ref closed = steal(tarn::call_method(state.s_close.get(), probe.get()));
    if (!closed) return -1;
    PyObject* paths[] = {remote_path, local_path};
    Ref done = steal(PyObject_Vectorcall(get.get(), paths, 2, nullptr));
    return done ? 0 : -1;
}

PyObject* download_impl(PyObject* const* args, const Keywords&) noexcept {
    int copied = get_file(args[0], args[1], args[2]);
    return report(copied, "download successfully: %U -> %U", args[1], args[2], "failed to download: %S");
}

constexpr Param kUploadParams[] = {
    {"self"}, {"local_path", Check::exact_str, "str"}, {"remote_path", Check::exact_str, "str"}};
constexpr Param kDownloadParams[] = {
    {"self"}, {"remote_path", Check::exact_str, "str"}, {"local_path", Check::exact_str, "str"}};

constexpr Definition kMethods[] = {
    {{"upload", "SSHClient.upload", nullptr, kUploadParams}, upload_impl},
    {{"download", "SSHClient.download", nullptr, kDownloadParams}, download_impl},
};

}  // namespace

constinit const Definitions transfer_methods = kMethods;

}  // namespace tarn::ssh
