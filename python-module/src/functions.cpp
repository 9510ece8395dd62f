#include "python.hpp"

#include <cstdint>
#include <optional>
#include <string>

#include "args.hpp"
#include "document.hpp"
#include "errors.hpp"
#include "file_io.hpp"
#include "module.hpp"
#include "pyref.hpp"
#include "text_convert.hpp"

namespace tuvax::py {
namespace {

constexpr std::uint64_t default_indent = 2;

constexpr const char* obj_names[] = {"obj"};
constexpr const char* data_names[] = {"data"};
constexpr const char* obj_path_names[] = {"obj", "path"};
constexpr const char* path_names[] = {"path"};
constexpr const char* text_names[] = {"text"};
constexpr const char* obj_indent_names[] = {"obj", "indent"};

constexpr Signature encode_sig{"encode()", obj_names, 1};
constexpr Signature decode_sig{"decode()", data_names, 1};
constexpr Signature encode_to_file_sig{"encode_to_file()", obj_path_names, 2};
constexpr Signature decode_from_file_sig{"decode_from_file()", path_names, 1};
constexpr Signature parse_text_sig{"parse_text()", text_names, 1};
constexpr Signature pretty_print_sig{"pretty_print()", obj_indent_names, 1};

// The package's versions of encode, encode_to_file and pretty_print take
// `default` as a keyword only, as json.dumps does.
constexpr const char* obj_default_names[] = {"obj", "default"};
constexpr const char* obj_path_default_names[] = {"obj", "path", "default"};
constexpr const char* obj_indent_default_names[] = {"obj", "indent", "default"};

constexpr Signature generous_encode_sig{"encode()", obj_default_names, 1, 1};
constexpr Signature generous_encode_to_file_sig{"encode_to_file()", obj_path_default_names, 2, 2};
constexpr Signature any_path_decode_sig{"decode_from_file()", path_names, 1};
constexpr Signature generous_pretty_print_sig{"pretty_print()", obj_indent_default_names, 1, 2};
constexpr Signature counted_parse_sig{"parse_text_counted()", text_names, 1};

// The package's walk, with its `default` argument (None or a callable;
// nullptr when not passed).
std::optional<WalkMode> generous(PyObject* default_arg) {
  auto fn = default_arg == nullptr ? std::optional<PyObject*>(nullptr) : arg_callable_or_none("default", default_arg);
  if (!fn) return std::nullopt;
  return WalkMode{.generous = true, .default_fn = *fn};
}

PyObject* encode(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guard([&]() -> PyObject* {
    PyObject* argv[1];
    if (!bind_fastcall(encode_sig, args, nargs, kwnames, argv)) return nullptr;
    return encode_to_bytes(argv[0]).release();
  });
}

PyObject* decode(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guard([&]() -> PyObject* {
    PyObject* argv[1];
    if (!bind_fastcall(decode_sig, args, nargs, kwnames, argv)) return nullptr;
    // Read in place: the caller keeps the bytes object alive for the call.
    auto data = arg_bytes("data", argv[0]);
    if (!data) return nullptr;
    auto items = decode_document(*data);
    if (!items) return nullptr;
    return single_or_list(std::move(*items)).release();
  });
}

PyObject* encode_to_file(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guard([&]() -> PyObject* {
    PyObject* argv[2];
    if (!bind_fastcall(encode_to_file_sig, args, nargs, kwnames, argv)) return nullptr;
    // Before obj: a bad path wins. The UTF-8 text lives in the str object,
    // which the caller keeps alive for the whole call.
    auto path = arg_str("path", argv[1]);
    if (!path) return nullptr;
    // Straight from the objects into one buffer of our own, which the write
    // reads with the interpreter lock released.
    auto out = encode_document(argv[0]);
    if (!out || !write_output(*path, *out)) return nullptr;
    Py_RETURN_NONE;
  });
}

PyObject* decode_from_file(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guard([&]() -> PyObject* {
    PyObject* argv[1];
    if (!bind_fastcall(decode_from_file_sig, args, nargs, kwnames, argv)) return nullptr;
    auto path = arg_str("path", argv[0]);
    if (!path) return nullptr;
    return decode_file(*path).release();
  });
}

PyObject* parse_text(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guard([&]() -> PyObject* {
    PyObject* argv[1];
    if (!bind_fastcall(parse_text_sig, args, nargs, kwnames, argv)) return nullptr;
    auto text = arg_str("text", argv[0]);
    if (!text) return nullptr;
    return parse_text_object(*text);
  });
}

PyObject* pretty_print(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guard([&]() -> PyObject* {
    PyObject* argv[2];
    if (!bind_fastcall(pretty_print_sig, args, nargs, kwnames, argv)) return nullptr;
    std::uint64_t indent = default_indent;
    if (argv[1] != nullptr) {  // before obj: a bad indent wins
      auto n = arg_u64("indent", argv[1]);
      if (!n) return nullptr;
      indent = *n;
    }
    return pretty_print_object(argv[0], indent);
  });
}

// ---- The package's entry points ----
//
// What the tuvax package calls: encode's walk made generous (tuples, list,
// tuple and dict subclasses, the default hook) and paths taken as open()
// takes them. The module's own functions keep their strict behaviour.

PyObject* generous_encode(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guard([&]() -> PyObject* {
    PyObject* argv[2];
    if (!bind_fastcall(generous_encode_sig, args, nargs, kwnames, argv)) return nullptr;
    auto mode = generous(argv[1]);
    if (!mode) return nullptr;
    return encode_to_bytes(argv[0], *mode).release();
  });
}

PyObject* generous_encode_to_file(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guard([&]() -> PyObject* {
    PyObject* argv[3];
    if (!bind_fastcall(generous_encode_to_file_sig, args, nargs, kwnames, argv)) return nullptr;
    PyRef holder;
    auto path = arg_path("path", argv[1], holder);
    if (!path) return nullptr;
    auto mode = generous(argv[2]);
    if (!mode) return nullptr;
    auto out = encode_document(argv[0], *mode);
    if (!out || !write_output(*path, *out)) return nullptr;
    Py_RETURN_NONE;
  });
}

PyObject* any_path_decode_from_file(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guard([&]() -> PyObject* {
    PyObject* argv[1];
    if (!bind_fastcall(any_path_decode_sig, args, nargs, kwnames, argv)) return nullptr;
    PyRef holder;
    auto path = arg_path("path", argv[0], holder);
    if (!path) return nullptr;
    return decode_file(*path).release();
  });
}

PyObject* generous_pretty_print(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guard([&]() -> PyObject* {
    PyObject* argv[3];
    if (!bind_fastcall(generous_pretty_print_sig, args, nargs, kwnames, argv)) return nullptr;
    std::uint64_t indent = default_indent;
    if (argv[1] != nullptr) {
      auto n = arg_u64("indent", argv[1]);
      if (!n) return nullptr;
      indent = *n;
    }
    auto mode = generous(argv[2]);
    if (!mode) return nullptr;
    return pretty_print_object(argv[0], indent, *mode);
  });
}

// (value, number of comments skipped): for a caller about to write the
// value back, which would lose them.
PyObject* parse_text_counted(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guard([&]() -> PyObject* {
    PyObject* argv[1];
    if (!bind_fastcall(counted_parse_sig, args, nargs, kwnames, argv)) return nullptr;
    auto text = arg_str("text", argv[0]);
    if (!text) return nullptr;
    std::uint64_t comments = 0;
    PyRef value = PyRef::steal(parse_text_object(*text, &comments));
    if (!value) return nullptr;
    return Py_BuildValue("(OK)", value.get(), static_cast<unsigned long long>(comments));
  });
}

// ---- Method table, in registration order ----

PyDoc_STRVAR(encode_doc,
             "encode(obj)\n--\n\n"
             "Encode a Python object (dict, list, str, int, float, bytes, bool, None)\n"
             "into Tuvax binary format, returned as `bytes`.");

PyDoc_STRVAR(decode_doc,
             "decode(data)\n--\n\n"
             "Decode Tuvax binary `bytes` into Python objects.\n\n"
             "Returns a single value if the data contains exactly one top-level value,\n"
             "or a list of values otherwise.");

PyDoc_STRVAR(encode_to_file_doc,
             "encode_to_file(obj, path)\n--\n\n"
             "Encode a Python object and write the binary output to a file.\n\n"
             "Args:\n"
             "    obj: The Python object to encode (dict, list, str, int, float, bytes, bool, None).\n"
             "    path: File path to write the encoded binary data to.\n\n"
             "Raises:\n"
             "    RuntimeError: If encoding fails.\n"
             "    OSError: If writing to the file fails.");

PyDoc_STRVAR(decode_from_file_doc,
             "decode_from_file(path)\n--\n\n"
             "Read a Tuvax binary file and decode it into Python objects.\n\n"
             "Args:\n"
             "    path: File path to read the binary data from.\n\n"
             "Returns:\n"
             "    The decoded Python object (single value or list of values).\n\n"
             "Raises:\n"
             "    RuntimeError: If decoding fails.\n"
             "    OSError: If reading the file fails.");

PyDoc_STRVAR(parse_text_doc,
             "parse_text(text)\n--\n\n"
             "Parse Tuvax human-readable text notation into a Python object.\n\n"
             "Args:\n"
             "    text: A string in Tuvax text format.\n\n"
             "Returns:\n"
             "    The parsed Python object.\n\n"
             "Raises:\n"
             "    ValueError: If the text cannot be parsed.");

PyDoc_STRVAR(pretty_print_doc,
             "pretty_print(obj, indent=2)\n--\n\n"
             "Pretty-print a Python object in Tuvax human-readable text notation.\n\n"
             "Args:\n"
             "    obj: The Python object to format.\n"
             "    indent: Number of spaces per indentation level (default: 2).\n\n"
             "Returns:\n"
             "    A string in Tuvax text format.\n\n"
             "Raises:\n"
             "    TypeError: If the object cannot be converted to a Tuvax value.");

template <auto F>
constexpr PyMethodDef fastcall(const char* name, const char* doc) {
  return {name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(F)), METH_FASTCALL | METH_KEYWORDS, doc};
}

PyMethodDef module_methods[] = {
    fastcall<encode>("encode", encode_doc),
    fastcall<decode>("decode", decode_doc),
    fastcall<encode_to_file>("encode_to_file", encode_to_file_doc),
    fastcall<decode_from_file>("decode_from_file", decode_from_file_doc),
    fastcall<parse_text>("parse_text", parse_text_doc),
    fastcall<pretty_print>("pretty_print", pretty_print_doc),
};

PyDoc_STRVAR(generous_encode_doc,
             "encode(obj, *, default=None)\n--\n\n"
             "Encode a Python object into one Tuvax binary document, returned as `bytes`.\n\n"
             "Dicts (and any dict subclass) with str keys, lists, tuples (and their\n"
             "subclasses), str, int, float, bytes, bool and None are written as they are.\n"
             "Anything else goes to `default`, which returns something encodable in its\n"
             "place (called again if that is not encodable either), or raises; without\n"
             "`default` it is a TypeError. Errors carry the JSON path of the value as a note.");
PyDoc_STRVAR(generous_encode_to_file_doc,
             "encode_to_file(obj, path, *, default=None)\n--\n\n"
             "Encode a Python object as encode() does and write the document to `path`\n"
             "(str, bytes or os.PathLike), replacing the file atomically.");
PyDoc_STRVAR(any_path_decode_doc,
             "decode_from_file(path)\n--\n\n"
             "Read and decode the binary document at `path` (str, bytes or os.PathLike):\n"
             "one top-level value as itself, any other number as a list.");
PyDoc_STRVAR(generous_pretty_print_doc,
             "pretty_print(obj, indent=2, *, default=None)\n--\n\n"
             "Write a Python object as indented text notation, taking what encode() takes.");
PyDoc_STRVAR(parse_text_counted_doc,
             "parse_text_counted(text)\n--\n\n"
             "parse_text(), and the number of comments it skipped: (value, count).");

// What the tuvax package builds on, each installed as the attribute
// "_{name}" and not listed in __all__; the names and the module they give
// are the package's, so that tuvax.encode calls itself encode.
PyMethodDef package_methods[] = {
    fastcall<generous_encode>("encode", generous_encode_doc),
    fastcall<generous_encode_to_file>("encode_to_file", generous_encode_to_file_doc),
    fastcall<any_path_decode_from_file>("decode_from_file", any_path_decode_doc),
    fastcall<generous_pretty_print>("pretty_print", generous_pretty_print_doc),
    fastcall<parse_text_counted>("parse_text_counted", parse_text_counted_doc),
};

}  // namespace

std::span<PyMethodDef> module_functions() noexcept { return module_methods; }
std::span<PyMethodDef> package_functions() noexcept { return package_methods; }

}  // namespace tuvax::py
