#include "errors.hpp"

#include <cstdio>
#include <string>

#include "once_value.hpp"

namespace aeso::py {

namespace {

constexpr const char* INTERNAL_ERROR_NAME = "aeso_runtime.InternalError";
constexpr const char* INTERNAL_ERROR_DOC =
    "Raised when the native code of the aeso module, called from Python, fails an\n"
    "internal consistency check.\n"
    "\n"
    "Like SystemExit, it derives from BaseException rather than Exception, so it\n"
    "typically propagates through the whole stack and ends the interpreter.";
constexpr std::string_view GENERIC_INTERNAL_MESSAGE = "internal error without a message";

OnceValue<PyObject, release_ref> internal_error_class;

PyObject* internal_error_type() {
    return internal_error_class.get_or_create([] {
        return PyErr_NewExceptionWithDoc(INTERNAL_ERROR_NAME, INTERNAL_ERROR_DOC,
                                         PyExc_BaseException, nullptr);
    });
}

// The path from "src/" on, which is what a developer looks for.
const char* project_path(const char* file) {
    const std::string_view path(file);
    const std::size_t at = path.rfind("src/");
    return at == std::string_view::npos ? file : file + at;
}

// The bare name of a function from its compiler-given signature:
// "simulation_method" from "PyObject* aeso::py::{anonymous}::simulation_method(
// PyObject*, ...) [with InitialClass = ...]", "init_module" from
// "aeso::py::init_module()::<lambda()>". The full signature of a template
// runs to hundreds of characters and names nothing a reader needs.
std::string_view bare_function_name(std::string_view signature) {
    std::string_view head = signature.substr(0, signature.find('('));
    if (!head.empty() && head.back() == '>') {  // explicit template arguments
        int depth = 0;
        std::size_t i = head.size();
        while (i > 0) {
            const char c = head[--i];
            if (c == '>') ++depth;
            if (c == '<' && --depth == 0) break;
        }
        head = head.substr(0, i);
    }
    const std::size_t scope = head.rfind("::");
    if (scope != std::string_view::npos) head.remove_prefix(scope + 2);
    const std::size_t space = head.rfind(' ');
    if (space != std::string_view::npos) head.remove_prefix(space + 1);
    return head.empty() ? signature : head;
}

}  // namespace

std::nullptr_t raise_internal(std::string_view message, std::source_location where) {
    if (message.empty()) message = GENERIC_INTERNAL_MESSAGE;
    const std::string text(message);
    const std::string_view function = bare_function_name(where.function_name());
    std::fprintf(stderr, "aeso: internal error in thread %lu (native id %lu) at %s:%u in %.*s: %s\n",
                 PyThread_get_thread_ident(), PyThread_get_thread_native_id(),
                 project_path(where.file_name()), static_cast<unsigned>(where.line()),
                 static_cast<int>(function.size()), function.data(), text.c_str());
    std::fflush(stderr);
    PyObject* type = internal_error_type();
    if (type == nullptr) return nullptr;  // creating the class failed; its error is pending
    Ref value(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
    if (!value) return nullptr;
    PyErr_SetObject(type, value.get());
    return nullptr;
}

std::nullptr_t raise_core_error(const Error& error, std::source_location where) {
    switch (error.kind) {
        case ErrorKind::TypeError:
            PyErr_SetString(PyExc_TypeError, error.message.c_str());
            return nullptr;
        case ErrorKind::OutOfMemory:
            PyErr_NoMemory();
            return nullptr;
        case ErrorKind::Internal:
            break;
    }
    return raise_internal(error.message, where);
}

Ref fetch_exception() noexcept {
#if PY_VERSION_HEX >= 0x030C0000
    return Ref(PyErr_GetRaisedException());
#else
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    if (type == nullptr) return Ref();
    PyErr_NormalizeException(&type, &value, &traceback);
    if (traceback != nullptr && value != nullptr) PyException_SetTraceback(value, traceback);
    Py_XDECREF(type);
    Py_XDECREF(traceback);
    return Ref(value);
#endif
}

void restore_exception(Ref exception) noexcept {
    if (!exception) return;
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_SetRaisedException(exception.release());
#else
    PyObject* value = exception.release();
    PyObject* type = Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(value)));
    PyErr_Restore(type, value, PyException_GetTraceback(value));
#endif
}

namespace {

// The text of a str object (nullptr allowed), or `fallback`; errors are cleared.
std::string utf8_or(const Ref& text, std::string_view fallback) {
    if (text) {
        Py_ssize_t size = 0;
        if (const char* utf8 = PyUnicode_AsUTF8AndSize(text.get(), &size)) {
            return std::string(utf8, static_cast<std::size_t>(size));
        }
    }
    PyErr_Clear();
    return std::string(fallback);
}

}  // namespace

std::string type_qualname(PyTypeObject* type) {
    return utf8_or(Ref(PyType_GetQualName(type)), type->tp_name);
}

std::string str_or(PyObject* object, std::string_view fallback) {
    return utf8_or(Ref(PyObject_Str(object)), fallback);
}

std::string render_exception(PyObject* exception) {
    // A __cause__ chain can loop back on itself; stop after a generous depth.
    constexpr int MAX_LINKS = 64;
    std::string text;
    Ref current = Ref::borrowed(exception);
    for (int link = 0; current && link < MAX_LINKS; ++link) {
        if (link > 0) text += ", caused by ";
        text += type_qualname(Py_TYPE(current.get())) + ": " + str_or(current.get(), STR_FAILED);
        current = Ref(PyException_GetCause(current.get()));
    }
    return text;
}

}  // namespace aeso::py
