#include "python.hpp"

#include <cstdint>
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

}  // namespace

std::span<PyMethodDef> module_functions() noexcept { return module_methods; }

}  // namespace tuvax::py
