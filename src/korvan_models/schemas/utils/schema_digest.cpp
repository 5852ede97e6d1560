// schema_digest: the SHA-256 fingerprint of a schema record over its canonical JSON text.
//
// The text is the one json.dumps(schema.model_dump(), default=str, sort_keys=True) writes, byte for
// byte; it is built here in one ASCII buffer instead of through the encoder's chunks.
//
// Nested lists and mappings are walked with a stack of open levels on the heap, not by native
// recursion: a deep value costs no C stack, and each open level counts against the interpreter's
// recursion budget, so too deep a value raises RecursionError at the depth the host encoder does.
// A value's __str__ can run any Python code (and let other threads run), so every level owns what
// it walks and re-reads its size before each item.
#include <charconv>
#include <deque>
#include <limits>
#include <optional>
#include <string>
#include <unordered_set>

#include "exact.hpp"
#include "frame.hpp"

using namespace kv;

namespace {

constexpr const char* encoding_depth = " while encoding a JSON object";

// A list, tuple or mapping being written. The level is counted from the moment it is opened, even
// when the container turns out to be empty.
struct Level {
    RecursionGuard depth{encoding_depth};
    Obj container;
    bool mapping;
    Obj items;  // the list or tuple itself, or the mapping's items in sorted order
    Py_ssize_t next = 0;

    Level(Handle value, bool is_mapping) : container(value), mapping(is_mapping) {}

    bool empty() const {
        return mapping ? dict_size(container) == 0 : sequence_size(container) == 0;
    }

    // The next item, owned; none when the end is reached. The size is read afresh each time.
    Obj next_item() {
        if (next >= sequence_size(items)) return {};
        return sequence_at(items, next++);
    }
};

Obj sorted_items(Handle mapping) {
    Obj items = items_list(mapping);
    sort_list(items);
    return items;
}

class CanonicalJson {
public:
    std::string text;

    void write(Handle document) {
        write_value(document);
        while (!levels_.empty()) step(levels_.back());
    }

private:
    std::deque<Level> levels_;  // deque: opening a level keeps references to the others valid
    // Cycle check: the outer levels are scanned; the containers of deeper ones are kept in a set.
    static constexpr size_t scanned_levels = 32;
    std::unordered_set<PyObject*> deep_open_;

    // Writes the next item of the innermost open level, or closes it.
    void step(Level& level) {
        Obj item = level.next_item();
        if (!item.valid()) {
            text.push_back(level.mapping ? '}' : ']');
            return close();
        }
        if (level.next > 1) text.append(", ");
        if (!level.mapping) return write_value(item);
        if (!is_tuple(item) || tuple_size(item) != 2) raise(PyExc_ValueError, "items must return 2-tuples");
        write_key(tuple_at(item, 0));
        text.append(": ");
        write_value(tuple_at(item, 1));
    }

    void write_value(Handle value) {
        if (write_scalar(value)) return;
        if (value.is_list() || is_tuple(value)) return open(value, false);
        if (value.is_dict()) return open(value, true);
        Obj shown = value.str();  // default=str
        RecursionGuard depth(encoding_depth);
        write_string(shown);
    }

    bool write_scalar(Handle value) {
        if (value.is_none()) return text.append("null"), true;
        if (value.ptr() == Py_True) return text.append("true"), true;
        if (value.ptr() == Py_False) return text.append("false"), true;
        if (value.is_str()) return write_string(value), true;
        if (value.is_int()) return write_int(value), true;
        if (value.is_float()) return write_float(value), true;
        return false;
    }

    void open(Handle value, bool mapping) {
        Level& level = levels_.emplace_back(value, mapping);
        if (level.empty()) {
            text.append(mapping ? "{}" : "[]");
            return levels_.pop_back();
        }
        if (already_open(value)) raise(PyExc_ValueError, "Circular reference detected");
        if (levels_.size() > scanned_levels) deep_open_.insert(value.ptr());
        text.push_back(mapping ? '{' : '[');
        level.items = mapping ? sorted_items(value) : level.container;
    }

    // Whether a container is one of the enclosing levels: a repeat is a cycle.
    bool already_open(Handle value) const {
        size_t enclosing = levels_.size() - 1;
        for (size_t i = 0; i < enclosing && i < scanned_levels; ++i)
            if (levels_[i].container.is(value)) return true;
        return enclosing > scanned_levels && deep_open_.contains(value.ptr());
    }

    void close() {
        if (levels_.size() > scanned_levels) deep_open_.erase(levels_.back().container.ptr());
        levels_.pop_back();
    }

    void write_string(Handle value) {
        static const char hex[] = "0123456789abcdef";
        text.push_back('"');
        for_each_code_point(value, [&](uint32_t c) {
            if (c >= ' ' && c <= '~' && c != '\\' && c != '"') {
                text.push_back(static_cast<char>(c));
                return;
            }
            text.push_back('\\');
            switch (c) {
                case '\\': text.push_back('\\'); return;
                case '"': text.push_back('"'); return;
                case '\b': text.push_back('b'); return;
                case '\f': text.push_back('f'); return;
                case '\n': text.push_back('n'); return;
                case '\r': text.push_back('r'); return;
                case '\t': text.push_back('t'); return;
            }
            if (c >= 0x10000) {
                uint32_t v = c - 0x10000;
                uint32_t high = 0xd800 | ((v >> 10) & 0x3ff);
                text.append({'u', hex[(high >> 12) & 0xf], hex[(high >> 8) & 0xf], hex[(high >> 4) & 0xf],
                             hex[high & 0xf], '\\'});
                c = 0xdc00 | (v & 0x3ff);
            }
            text.append({'u', hex[(c >> 12) & 0xf], hex[(c >> 8) & 0xf], hex[(c >> 4) & 0xf], hex[c & 0xf]});
        });
        text.push_back('"');
    }

    void write_int(Handle value) {
        std::optional<long long> v = small_int(value);
        if (!v) return text.append(int_text(value).text()), void();
        char buffer[24];
        auto end = std::to_chars(buffer, buffer + sizeof buffer, *v).ptr;
        text.append(buffer, end);
    }

    void write_float(Handle value) {
        double v = float_value(value);
        if (v != v) return text.append("NaN"), void();
        if (v == std::numeric_limits<double>::infinity()) return text.append("Infinity"), void();
        if (v == -std::numeric_limits<double>::infinity()) return text.append("-Infinity"), void();
        text.append(float_text(v));
    }

    void write_key(Handle key) {
        if (key.is_str()) return write_string(key);
        if (!key.is_float() && !key.is_none() && !key.is_int())  // bool is an int
            raise(PyExc_TypeError, format_text("keys must be str, int, float, bool or None, not %.100s", key.type_name()));
        text.push_back('"');
        write_scalar(key);
        text.push_back('"');
    }
};

Obj calculate_schema_digest(Call& args) {
    Obj dump = args[0].call_method("model_dump");
    CanonicalJson json;
    json.write(dump);
    Obj data = bytes_of(json.text);
    Obj digest = global<"hashlib">().attr("sha256").call({data});
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
