// The one mapping from failures to Python exceptions, and the helpers that
// take exceptions apart to re-raise or describe them.
#pragma once

#include <source_location>
#include <string>
#include <string_view>

#include "core/result.hpp"
#include "python_ref.hpp"

namespace aeso::py {

// Writes a one-line diagnostic to standard error, "aeso: internal error in
// thread <ident> (native id <id>) at <file>:<line> in <function>: <message>",
// then raises aeso_runtime.InternalError(message). Always returns nullptr.
std::nullptr_t raise_internal(std::string_view message,
                              std::source_location where = std::source_location::current());

// Raises a core error: TypeError, InternalError or MemoryError. Returns nullptr.
std::nullptr_t raise_core_error(const Error& error,
                                std::source_location where = std::source_location::current());

// The pending exception, normalised, as an owned object (empty if none);
// the error indicator is cleared.
Ref fetch_exception() noexcept;
// Makes `exception` the pending exception again.
void restore_exception(Ref exception) noexcept;

// The qualified name of a type ("float", "FixedTimeStep").
std::string type_qualname(PyTypeObject* type);

// "<type qualname>: <str(exc)>", followed by ", caused by " and the cause,
// rendered the same way, for every link of the __cause__ chain.
std::string render_exception(PyObject* exception);

// str() of an object, or `fallback` when that fails (the error is cleared).
std::string str_or(PyObject* object, std::string_view fallback);

// Stand-in text for an exception whose str() fails.
inline constexpr std::string_view STR_FAILED = "<exception str() failed>";

}  // namespace aeso::py
