// schema_digest: the SHA-256 fingerprint of a schema record over its canonical JSON text.
//
// The text is the one json.dumps(schema.model_dump(), default=str, sort_keys=True) writes, byte for
// byte; it is built here in one ASCII buffer instead of through the encoder's chunks.
#include <charconv>
#include <string>
#include <unordered_set>

#include "frame.hpp"

using namespace kv;

namespace {

class CanonicalJson {
public:
    std::string text;

    void write(Handle value) {
        if (value.is_none()) return text.append("null"), void();
        if (value.ptr() == Py_True) return text.append("true"), void();
        if (value.ptr() == Py_False) return text.append("false"), void();
        if (value.is_str()) return write_string(value);
        if (value.is_int()) return write_int(value);
        if (value.is_float()) return write_float(value);
        RecursionGuard guard(" while encoding a JSON object");
        if (PyList_Check(value.ptr()) || PyTuple_Check(value.ptr())) return write_array(value);
        if (value.is_dict()) return write_object(value);
        Marker marker(*this, value);
        write(value.str());  // default=str
    }

private:
    std::unordered_set<PyObject*> open_;  // containers being written: a repeat is a cycle

    struct Marker {
        CanonicalJson& json;
        PyObject* key;
        Marker(CanonicalJson& j, Handle value) : json(j), key(value.ptr()) {
            if (!json.open_.insert(key).second) raise(PyExc_ValueError, "Circular reference detected");
        }
        ~Marker() { json.open_.erase(key); }
    };

    void write_string(Handle value) {
        static const char hex[] = "0123456789abcdef";
        Py_ssize_t n = PyUnicode_GET_LENGTH(value.ptr());
        int kind = PyUnicode_KIND(value.ptr());
        const void* data = PyUnicode_DATA(value.ptr());
        text.push_back('"');
        for (Py_ssize_t i = 0; i < n; ++i) {
            Py_UCS4 c = PyUnicode_READ(kind, data, i);
            if (c >= ' ' && c <= '~' && c != '\\' && c != '"') {
                text.push_back(static_cast<char>(c));
                continue;
            }
            text.push_back('\\');
            switch (c) {
                case '\\': text.push_back('\\'); continue;
                case '"': text.push_back('"'); continue;
                case '\b': text.push_back('b'); continue;
                case '\f': text.push_back('f'); continue;
                case '\n': text.push_back('n'); continue;
                case '\r': text.push_back('r'); continue;
                case '\t': text.push_back('t'); continue;
            }
            if (c >= 0x10000) {
                Py_UCS4 v = c - 0x10000;
                Py_UCS4 high = 0xd800 | ((v >> 10) & 0x3ff);
                text.append({'u', hex[(high >> 12) & 0xf], hex[(high >> 8) & 0xf], hex[(high >> 4) & 0xf],
                             hex[high & 0xf], '\\'});
                c = 0xdc00 | (v & 0x3ff);
            }
            text.append({'u', hex[(c >> 12) & 0xf], hex[(c >> 8) & 0xf], hex[(c >> 4) & 0xf], hex[c & 0xf]});
        }
        text.push_back('"');
    }

    void write_int(Handle value) {
        int overflow = 0;
        long long v = PyLong_AsLongLongAndOverflow(value.ptr(), &overflow);
        if (v == -1 && PyErr_Occurred()) fail();
        if (overflow) return text.append(Obj::steal(PyLong_Type.tp_repr(value.ptr())).text()), void();
        char buffer[24];
        auto end = std::to_chars(buffer, buffer + sizeof buffer, v).ptr;
        text.append(buffer, end);
    }

    void write_float(Handle value) {
        double v = PyFloat_AS_DOUBLE(value.ptr());
        if (v != v) return text.append("NaN"), void();
        if (v == Py_HUGE_VAL) return text.append("Infinity"), void();
        if (v == -Py_HUGE_VAL) return text.append("-Infinity"), void();
        char* repr = PyOS_double_to_string(v, 'r', 0, Py_DTSF_ADD_DOT_0, nullptr);
        if (!repr) fail();
        text.append(repr);
        PyMem_Free(repr);
    }

    void write_array(Handle value) {
        Marker marker(*this, value);
        Obj items = Obj::steal(PySequence_Fast(value.ptr(), ""));
        Py_ssize_t n = PySequence_Fast_GET_SIZE(items.ptr());
        text.push_back('[');
        for (Py_ssize_t i = 0; i < n; ++i) {
            if (i) text.append(", ");
            write(PySequence_Fast_GET_ITEM(items.ptr(), i));
        }
        text.push_back(']');
    }

    void write_object(Handle value) {
        Marker marker(*this, value);
        Obj items = Obj::steal(PyMapping_Items(value.ptr()));
        if (PyList_Sort(items.ptr()) < 0) fail();
        Py_ssize_t n = PyList_GET_SIZE(items.ptr());
        text.push_back('{');
        for (Py_ssize_t i = 0; i < n; ++i) {
            PyObject* pair = PyList_GET_ITEM(items.ptr(), i);
            if (i) text.append(", ");
            write_key(PyTuple_GET_ITEM(pair, 0));
            text.append(": ");
            write(PyTuple_GET_ITEM(pair, 1));
        }
        text.push_back('}');
    }

    void write_key(Handle key) {
        if (key.is_str()) return write_string(key);
        text.push_back('"');
        if (key.is_float()) {
            write_float(key);
        } else if (key.ptr() == Py_True || key.ptr() == Py_False || key.is_none() || key.is_int()) {
            write(key);
        } else {
            text.pop_back();
            KV_RAISE(PyExc_TypeError, "keys must be str, int, float, bool or None, not %.100s", key.type_name());
        }
        text.push_back('"');
    }
};

Obj calculate_schema_digest(Call& args) {
    Obj dump = args[0].call_method("model_dump");
    CanonicalJson json;
    json.write(dump);
    Obj data = Obj::steal(PyBytes_FromStringAndSize(json.text.data(), static_cast<Py_ssize_t>(json.text.size())));
    Obj digest = global("hashlib").attr("sha256").call({data});
    return expect_str(digest.call_method("hexdigest"));
}

void module_body(ModuleBody& m) {
    m.import("hashlib");
    m.import("json");
    m.import_from("korvan_utils.models.data_models.schema", {"ObjectSchema"});
    m.def({.name = "calculate_schema_digest",
           .params = {arg("schema", "ObjectSchema")},
           .returns = "str",
           .doc = "Returns the SHA-256 fingerprint of a schema record: 64 hexadecimal digits.",
           .body = calculate_schema_digest});
}

}  // namespace

KV_MODULE(schema_digest, "korvan_models.schemas.utils.schema_digest", module_body)
