/* The floor: what no serializer of Python objects can go below, compiled by
 * the benchmarks at run time (harness.floor_module) and never shipped. C
 * style, compiled as C++ for simdutf.
 *
 *   walk(obj)  visits every object as an encoder must: the type of each, the
 *              text of each str (its UTF-8 form), the value of each int and
 *              float, every key and member; and moves the bytes of every
 *              string and key once, into a scratch buffer. No tags, no
 *              lengths, no limits, no output kept.
 *   tape(obj)  writes `obj` once, before anything is timed, as the cheapest
 *              input a decoder could have: a tag byte and fixed-width
 *              native fields per value, each str as its UTF-8 (the text of
 *              the format) with its length in characters and its widest
 *              character given, keys as indices into a tuple of ready key
 *              objects.
 *   build(t)   makes the objects of a tape as a decoder must: a new dict,
 *              list, str, int and float per value, each container made
 *              before its members and sized once, each str made at its
 *              final size and width and filled in one pass (a copy for
 *              ASCII, simdutf's transcoding of valid UTF-8 otherwise, as
 *              tuvax uses); no validation, no limits, and keys from a cache
 *              that never misses and costs nothing.
 *
 * The walk writes no encoding and the build reads the simplest one there
 * could be, so tuvax (which also writes or reads tags and varints, checks
 * limits, validates and transcodes UTF-8) cannot beat them; the benchmarks
 * add the format's integrity work, two XXH64 passes over the document.
 */
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <simdutf.h>

#include <cstdint>
#include <cstring>

#include "dict_items.hpp"  // dicts read as tuvax reads them

static char *scratch;
static Py_ssize_t scratch_size;

static int
move_bytes(const char *p, Py_ssize_t n, uint64_t *acc)
{
    if (n > scratch_size || scratch == NULL) {
        char *bigger = static_cast<char *>(PyMem_Realloc(scratch, (size_t)(n < 64 ? 64 : n)));
        if (bigger == NULL) {
            PyErr_NoMemory();
            return -1;
        }
        scratch = bigger;
        scratch_size = n < 64 ? 64 : n;
    }
    /* Short strings move as two overlapping words, as an encoder would move
     * them, rather than through a library call each. */
    if (n > 16) {
        memcpy(scratch, p, (size_t)n);
    }
    else if (n >= 8) {
        uint64_t a, b;
        memcpy(&a, p, 8);
        memcpy(&b, p + n - 8, 8);
        memcpy(scratch, &a, 8);
        memcpy(scratch + n - 8, &b, 8);
    }
    else if (n >= 4) {
        uint32_t a, b;
        memcpy(&a, p, 4);
        memcpy(&b, p + n - 4, 4);
        memcpy(scratch, &a, 4);
        memcpy(scratch + n - 4, &b, 4);
    }
    else if (n > 0) {
        scratch[0] = p[0];
        scratch[n / 2] = p[n / 2];
        scratch[n - 1] = p[n - 1];
    }
    *acc += (uint64_t)n + (n > 0 ? (unsigned char)scratch[n - 1] : 0);
    return 0;
}

static int
walk_str(PyObject *s, uint64_t *acc)
{
    Py_ssize_t n;
    const char *p;
    if (PyUnicode_IS_COMPACT_ASCII(s)) {
        n = PyUnicode_GET_LENGTH(s);
        p = (const char *)PyUnicode_DATA(s);
    }
    else if ((p = PyUnicode_AsUTF8AndSize(s, &n)) == NULL) {
        return -1;
    }
    return move_bytes(p, n, acc);
}

static int
walk_value(PyObject *o, uint64_t *acc)
{
    PyTypeObject *t = Py_TYPE(o);
    if (t == &PyUnicode_Type) {
        return walk_str(o, acc);
    }
    if (t == &PyLong_Type) {
        if (PyUnstable_Long_IsCompact((PyLongObject *)o)) {
            *acc += (uint64_t)PyUnstable_Long_CompactValue((PyLongObject *)o);
            return 0;
        }
        int overflow;
        long long v = PyLong_AsLongLongAndOverflow(o, &overflow);
        if (v == -1 && PyErr_Occurred()) {
            return -1;
        }
        *acc += (uint64_t)v + (uint64_t)overflow;
        return 0;
    }
    if (t == &PyDict_Type) {
        Py_ssize_t pos = 0;
        PyObject *k, *v;
        while (tuvax::py::next_dict_item(o, &pos, &k, &v)) {
            if (walk_str(k, acc) < 0 || walk_value(v, acc) < 0) {
                return -1;
            }
        }
        return 0;
    }
    if (t == &PyList_Type) {
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(o); i++) {
            if (walk_value(PyList_GET_ITEM(o, i), acc) < 0) {
                return -1;
            }
        }
        return 0;
    }
    if (t == &PyFloat_Type) {
        double d = PyFloat_AS_DOUBLE(o);
        uint64_t bits;
        memcpy(&bits, &d, 8);
        *acc += bits;
        return 0;
    }
    if (o == Py_None || t == &PyBool_Type) {
        *acc += (o == Py_True);
        return 0;
    }
    if (t == &PyBytes_Type) {
        return move_bytes(PyBytes_AS_STRING(o), PyBytes_GET_SIZE(o), acc);
    }
    PyErr_Format(PyExc_TypeError, "floor: cannot walk %s", t->tp_name);
    return -1;
}

static PyObject *
floor_walk(PyObject *module, PyObject *obj)
{
    uint64_t acc = 0;
    if (walk_value(obj, &acc) < 0) {
        return NULL;
    }
    return PyLong_FromUnsignedLongLong(acc);
}

/* ---- The tape: what build() reads ----
 *
 * The cheapest input a decoder could have: each value as a tag byte and
 * fixed-width native fields, strings in the str's own storage (no
 * transcoding), keys as indices into a tuple of ready key objects. Made by
 * tape() before anything is timed. */

typedef struct {
    char *data;
    Py_ssize_t size, capacity;
    PyObject *keys;   /* list of the distinct key objects */
    PyObject *index;  /* dict: key -> its index in keys */
} Tape;

static int
tape_put(Tape *t, const void *p, Py_ssize_t n)
{
    if (t->capacity - t->size < n) {
        Py_ssize_t cap = t->capacity * 2 + n + 64;
        char *bigger = static_cast<char *>(PyMem_Realloc(t->data, (size_t)cap));
        if (bigger == NULL) {
            PyErr_NoMemory();
            return -1;
        }
        t->data = bigger;
        t->capacity = cap;
    }
    memcpy(t->data + t->size, p, (size_t)n);
    t->size += n;
    return 0;
}

static int
tape_tag(Tape *t, char tag)
{
    return tape_put(t, &tag, 1);
}

static int
tape_u64(Tape *t, uint64_t v)
{
    return tape_put(t, &v, 8);
}

static int
tape_value(Tape *t, PyObject *o)
{
    PyTypeObject *ty = Py_TYPE(o);
    if (ty == &PyUnicode_Type) {
        uint32_t maxchar = PyUnicode_MAX_CHAR_VALUE(o);
        Py_ssize_t bytes;
        const char *utf8 = PyUnicode_AsUTF8AndSize(o, &bytes);
        return utf8 == NULL || tape_tag(t, 's') || tape_put(t, &maxchar, 4) ||
               tape_u64(t, (uint64_t)PyUnicode_GET_LENGTH(o)) || tape_u64(t, (uint64_t)bytes) ||
               tape_put(t, utf8, bytes);
    }
    if (ty == &PyLong_Type) {
        int overflow;
        long long v = PyLong_AsLongLongAndOverflow(o, &overflow);
        if (v == -1 && PyErr_Occurred()) {
            return -1;
        }
        if (overflow == 0) {
            return tape_tag(t, 'i') || tape_u64(t, (uint64_t)v);
        }
        unsigned long long u = PyLong_AsUnsignedLongLong(o);
        if (u == (unsigned long long)-1 && PyErr_Occurred()) {
            return -1;
        }
        return tape_tag(t, 'u') || tape_u64(t, u);
    }
    if (ty == &PyFloat_Type) {
        double d = PyFloat_AS_DOUBLE(o);
        return tape_tag(t, 'd') || tape_put(t, &d, 8);
    }
    if (ty == &PyDict_Type) {
        Py_ssize_t pos = 0;
        PyObject *k, *v;
        if (tape_tag(t, 'D') || tape_u64(t, (uint64_t)PyDict_GET_SIZE(o))) {
            return -1;
        }
        while (PyDict_Next(o, &pos, &k, &v)) {
            PyObject *at = PyDict_GetItemWithError(t->index, k);
            uint32_t i;
            if (at == NULL) {
                if (PyErr_Occurred()) {
                    return -1;
                }
                i = (uint32_t)PyList_GET_SIZE(t->keys);
                PyObject *num = PyLong_FromUnsignedLong(i);
                if (num == NULL || PyDict_SetItem(t->index, k, num) < 0 || PyList_Append(t->keys, k) < 0) {
                    Py_XDECREF(num);
                    return -1;
                }
                Py_DECREF(num);
            }
            else {
                i = (uint32_t)PyLong_AsUnsignedLong(at);
            }
            if (tape_put(t, &i, 4) || tape_value(t, v)) {
                return -1;
            }
        }
        return 0;
    }
    if (ty == &PyList_Type) {
        if (tape_tag(t, 'L') || tape_u64(t, (uint64_t)PyList_GET_SIZE(o))) {
            return -1;
        }
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(o); i++) {
            if (tape_value(t, PyList_GET_ITEM(o, i))) {
                return -1;
            }
        }
        return 0;
    }
    if (o == Py_None) {
        return tape_tag(t, 'n');
    }
    if (ty == &PyBool_Type) {
        return tape_tag(t, o == Py_True ? 't' : 'f');
    }
    if (ty == &PyBytes_Type) {
        return tape_tag(t, 'b') || tape_u64(t, (uint64_t)PyBytes_GET_SIZE(o)) ||
               tape_put(t, PyBytes_AS_STRING(o), PyBytes_GET_SIZE(o));
    }
    PyErr_Format(PyExc_TypeError, "floor: cannot tape %s", ty->tp_name);
    return -1;
}

static PyObject *
floor_tape(PyObject *module, PyObject *obj)
{
    Tape t = {NULL, 0, 0, PyList_New(0), PyDict_New()};
    PyObject *result = NULL;
    if (t.keys != NULL && t.index != NULL && tape_value(&t, obj) == 0) {
        PyObject *data = PyBytes_FromStringAndSize(t.data, t.size);
        PyObject *keys = PyList_AsTuple(t.keys);
        if (data != NULL && keys != NULL) {
            result = PyTuple_Pack(2, data, keys);
        }
        Py_XDECREF(data);
        Py_XDECREF(keys);
    }
    PyMem_Free(t.data);
    Py_XDECREF(t.keys);
    Py_XDECREF(t.index);
    return result;
}

static uint64_t
read_u64(const char **p)
{
    uint64_t v;
    memcpy(&v, *p, 8);
    *p += 8;
    return v;
}

static PyObject *
build_value(const char **p, PyObject *keys)
{
    switch (*(*p)++) {
    case 's': {
        uint32_t maxchar;
        memcpy(&maxchar, *p, 4);
        *p += 4;
        Py_ssize_t n = (Py_ssize_t)read_u64(p);
        size_t bytes = (size_t)read_u64(p);
        PyObject *s = PyUnicode_New(n, maxchar);
        if (s != NULL) {
            void *out = PyUnicode_DATA(s);
            if (maxchar < 0x80) {
                memcpy(out, *p, bytes);
            }
            else if (maxchar < 0x100) {
                simdutf::convert_valid_utf8_to_latin1(*p, bytes, static_cast<char *>(out));
            }
            else if (maxchar < 0x10000) {
                simdutf::convert_valid_utf8_to_utf16(*p, bytes, static_cast<char16_t *>(out));
            }
            else {
                simdutf::convert_valid_utf8_to_utf32(*p, bytes, static_cast<char32_t *>(out));
            }
        }
        *p += bytes;
        return s;
    }
    case 'i':
        return PyLong_FromLongLong((long long)read_u64(p));
    case 'u':
        return PyLong_FromUnsignedLongLong(read_u64(p));
    case 'd': {
        double d;
        memcpy(&d, *p, 8);
        *p += 8;
        return PyFloat_FromDouble(d);
    }
    case 'D': {
        Py_ssize_t n = (Py_ssize_t)read_u64(p);
        PyObject *d = _PyDict_NewPresized(n);
        if (d == NULL) {
            return NULL;
        }
        for (Py_ssize_t i = 0; i < n; i++) {
            uint32_t k;
            memcpy(&k, *p, 4);
            *p += 4;
            PyObject *v = build_value(p, keys);
            if (v == NULL || PyDict_SetItem(d, PyTuple_GET_ITEM(keys, k), v) < 0) {
                Py_XDECREF(v);
                Py_DECREF(d);
                return NULL;
            }
            Py_DECREF(v);
        }
        return d;
    }
    case 'L': {
        Py_ssize_t n = (Py_ssize_t)read_u64(p);
        PyObject *l = PyList_New(n);
        if (l == NULL) {
            return NULL;
        }
        for (Py_ssize_t i = 0; i < n; i++) {
            PyObject *v = build_value(p, keys);
            if (v == NULL) {
                Py_DECREF(l);
                return NULL;
            }
            PyList_SET_ITEM(l, i, v);
        }
        return l;
    }
    case 'n':
        Py_RETURN_NONE;
    case 't':
        Py_RETURN_TRUE;
    case 'f':
        Py_RETURN_FALSE;
    case 'b': {
        Py_ssize_t n = (Py_ssize_t)read_u64(p);
        PyObject *b = PyBytes_FromStringAndSize(*p, n);
        *p += n;
        return b;
    }
    }
    PyErr_SetString(PyExc_ValueError, "floor: not a tape");
    return NULL;
}

static PyObject *
floor_build(PyObject *module, PyObject *tape)
{
    if (!PyTuple_Check(tape) || PyTuple_GET_SIZE(tape) != 2 || !PyBytes_Check(PyTuple_GET_ITEM(tape, 0))) {
        PyErr_SetString(PyExc_TypeError, "floor: build() takes what tape() made");
        return NULL;
    }
    const char *p = PyBytes_AS_STRING(PyTuple_GET_ITEM(tape, 0));
    return build_value(&p, PyTuple_GET_ITEM(tape, 1));
}

static PyMethodDef floor_methods[] = {
    {"walk", floor_walk, METH_O, "Visits every value of obj as an encoder must."},
    {"tape", floor_tape, METH_O, "obj as build() reads it: (bytes, keys)."},
    {"build", floor_build, METH_O, "The objects of a tape, made as a decoder must."},
    {NULL, NULL, 0, NULL},
};

static struct PyModuleDef floor_module = {
    PyModuleDef_HEAD_INIT, "_tuvax_floor", NULL, 0, floor_methods,
};

PyMODINIT_FUNC
PyInit__tuvax_floor()
{
    return PyModule_Create(&floor_module);
}
