// A strict little JSON reader for the tests: enough to prove that
// `veld info --json` prints one well-formed object and to look at its values.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace jsonmini {

struct Value {
    enum Kind { Null, Bool, Number, String, Array, Object } kind = Null;
    bool boolean = false;
    std::string text;  // a number's digits as written, or a string's value
    std::vector<Value> items;
    std::map<std::string, Value> members;

    bool has(const std::string& key) const { return kind == Object && members.count(key) != 0; }
    const Value& operator[](const std::string& key) const {
        auto it = members.find(key);
        if (kind != Object || it == members.end()) throw std::runtime_error("no key " + key);
        return it->second;
    }
    std::int64_t integer() const {
        if (kind != Number) throw std::runtime_error("not a number");
        std::size_t used = 0;
        const long long v = std::stoll(text, &used);
        if (used != text.size()) throw std::runtime_error("not an integer: " + text);
        return v;
    }
};

class Parser {
public:
    explicit Parser(const std::string& s) : fS(s) {}

    // The whole text must be one value, with nothing but blanks after it.
    Value document() {
        Value v = value();
        blanks();
        if (fAt != fS.size()) fail("text after the value");
        return v;
    }

private:
    [[noreturn]] void fail(const std::string& why) {
        throw std::runtime_error("JSON: " + why + " at " + std::to_string(fAt));
    }
    void blanks() {
        while (fAt < fS.size() && (fS[fAt] == ' ' || fS[fAt] == '\n' || fS[fAt] == '\t' || fS[fAt] == '\r')) ++fAt;
    }
    bool eat(char c) {
        blanks();
        if (fAt < fS.size() && fS[fAt] == c) {
            ++fAt;
            return true;
        }
        return false;
    }
    void expect(char c) {
        if (!eat(c)) fail(std::string("expected '") + c + "'");
    }
    bool word(const char* w) {
        const std::string s(w);
        if (fS.compare(fAt, s.size(), s) != 0) return false;
        fAt += s.size();
        return true;
    }
    std::string string() {
        expect('"');
        std::string out;
        while (fAt < fS.size() && fS[fAt] != '"') {
            char c = fS[fAt++];
            if (static_cast<unsigned char>(c) < 0x20) fail("control character in a string");
            if (c == '\\') {
                if (fAt >= fS.size()) fail("cut escape");
                const char e = fS[fAt++];
                switch (e) {
                    case '"': case '\\': case '/': out += e; break;
                    case 'n': out += '\n'; break;
                    case 't': out += '\t'; break;
                    case 'r': out += '\r'; break;
                    case 'b': out += '\b'; break;
                    case 'f': out += '\f'; break;
                    case 'u':
                        if (fAt + 4 > fS.size()) fail("cut \\u escape");
                        out += static_cast<char>(std::stoi(fS.substr(fAt, 4), nullptr, 16));
                        fAt += 4;
                        break;
                    default: fail("unknown escape");
                }
            } else {
                out += c;
            }
        }
        if (fAt >= fS.size()) fail("unterminated string");
        ++fAt;
        return out;
    }
    Value value() {
        blanks();
        if (fAt >= fS.size()) fail("no value");
        Value v;
        const char c = fS[fAt];
        if (c == '{') {
            ++fAt;
            v.kind = Value::Object;
            if (eat('}')) return v;
            do {
                blanks();
                std::string key = string();
                if (v.members.count(key)) fail("duplicate key " + key);
                expect(':');
                v.members[key] = value();
            } while (eat(','));
            expect('}');
        } else if (c == '[') {
            ++fAt;
            v.kind = Value::Array;
            if (eat(']')) return v;
            do v.items.push_back(value());
            while (eat(','));
            expect(']');
        } else if (c == '"') {
            v.kind = Value::String;
            v.text = string();
        } else if (word("true")) {
            v.kind = Value::Bool;
            v.boolean = true;
        } else if (word("false")) {
            v.kind = Value::Bool;
        } else if (word("null")) {
            v.kind = Value::Null;
        } else {
            const std::size_t start = fAt;
            if (fS[fAt] == '-') ++fAt;
            if (fAt >= fS.size() || fS[fAt] < '0' || fS[fAt] > '9') fail("bad value");
            while (fAt < fS.size() && std::string("0123456789.eE+-").find(fS[fAt]) != std::string::npos) ++fAt;
            v.kind = Value::Number;
            v.text = fS.substr(start, fAt - start);
            std::size_t used = 0;
            std::stod(v.text, &used);
            if (used != v.text.size()) fail("bad number " + v.text);
        }
        return v;
    }

    const std::string& fS;
    std::size_t fAt = 0;
};

inline Value parse(const std::string& text) { return Parser(text).document(); }

}  // namespace jsonmini
