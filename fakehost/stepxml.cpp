#include "fakehost/stepxml.h"

#include <cctype>
#include <map>
#include <set>
#include <stdexcept>

namespace fakehost {

namespace {

struct Element {
    std::string name;
    std::map<std::string, std::string> attributes;
    std::vector<Element> children;
};

struct Malformed : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// Elements, attributes, character data and the five predefined entities: what a definition
// holds. Comments, processing instructions and DOCTYPE are refused as malformed.
class Reader {
  public:
    explicit Reader(const std::string& text) : text_(text) {}

    Element document() {
        skipSpace();
        if (text_.compare(at_, 5, "<?xml") == 0) {
            const auto end = text_.find("?>", at_);
            if (end == std::string::npos) {
                throw Malformed("unterminated XML declaration");
            }
            at_ = end + 2;
            skipSpace();
        }
        Element root = element();
        skipSpace();
        if (at_ != text_.size()) {
            throw Malformed("text after the root element");
        }
        return root;
    }

  private:
    Element element() {
        expect('<');
        Element e;
        e.name = name();
        for (;;) {
            const bool spaced = skipSpace();
            if (peek() == '/') {
                ++at_;
                expect('>');
                return e;
            }
            if (peek() == '>') {
                ++at_;
                break;
            }
            if (!spaced) {
                throw Malformed("no space before an attribute of <" + e.name + ">");
            }
            const std::string key = name();
            skipSpace();
            expect('=');
            skipSpace();
            if (!e.attributes.emplace(key, quoted()).second) {
                throw Malformed("attribute " + key + " repeated in <" + e.name + ">");
            }
        }
        for (;;) {
            characterData();
            if (text_.compare(at_, 2, "</") == 0) {
                at_ += 2;
                if (name() != e.name) {
                    throw Malformed("<" + e.name + "> closed by another element");
                }
                skipSpace();
                expect('>');
                return e;
            }
            e.children.push_back(element());
        }
    }

    void characterData() {
        while (at_ < text_.size() && text_[at_] != '<') {
            if (text_[at_] == '&') {
                entity();
            } else {
                ++at_;
            }
        }
        if (at_ == text_.size()) {
            throw Malformed("the document ends inside an element");
        }
        if (text_.compare(at_, 2, "<!") == 0 || text_.compare(at_, 2, "<?") == 0) {
            throw Malformed("comments and processing instructions are not read");
        }
    }

    std::string quoted() {
        const char quote = peek();
        if (quote != '"' && quote != '\'') {
            throw Malformed("an attribute value without quotes");
        }
        ++at_;
        std::string value;
        while (peek() != quote) {
            if (peek() == '<') {
                throw Malformed("< in an attribute value");
            }
            value += peek() == '&' ? entity() : text_[at_++];
        }
        ++at_;
        return value;
    }

    char entity() {
        static const std::map<std::string, char> entities = {
            {"amp", '&'}, {"lt", '<'}, {"gt", '>'}, {"quot", '"'}, {"apos", '\''}};
        const auto end = text_.find(';', at_);
        const auto found = end == std::string::npos
                               ? entities.end()
                               : entities.find(text_.substr(at_ + 1, end - at_ - 1));
        if (found == entities.end()) {
            throw Malformed("an unknown entity");
        }
        at_ = end + 1;
        return found->second;
    }

    std::string name() {
        const auto begin = at_;
        while (at_ < text_.size() &&
               (std::isalnum(static_cast<unsigned char>(text_[at_])) || text_[at_] == '_' ||
                text_[at_] == '-' || text_[at_] == ':' || text_[at_] == '.')) {
            ++at_;
        }
        if (at_ == begin || std::isdigit(static_cast<unsigned char>(text_[begin]))) {
            throw Malformed("a name expected");
        }
        return text_.substr(begin, at_ - begin);
    }

    bool skipSpace() {
        const auto begin = at_;
        while (at_ < text_.size() && std::string(" \t\r\n").find(text_[at_]) != std::string::npos) {
            ++at_;
        }
        return at_ != begin;
    }

    char peek() const {
        if (at_ >= text_.size()) {
            throw Malformed("the document ends early");
        }
        return text_[at_];
    }

    void expect(char c) {
        if (peek() != c) {
            throw Malformed(std::string("'") + c + "' expected");
        }
        ++at_;
    }

    const std::string& text_;
    std::size_t at_ = 0;
};

std::string attribute(const Element& e, const std::string& name) {
    const auto found = e.attributes.find(name);
    return found == e.attributes.end() ? std::string() : found->second;
}

StepDefinition parameters(const Element& root) {
    if (root.name != "PluginStep") {
        return {{}, "the root is <" + root.name + ">, not <PluginStep>"};
    }
    if (root.children.size() > 10) {
        return {{}, std::to_string(root.children.size()) + " parameters, at most 10"};
    }
    StepDefinition definition;
    std::set<int> ids;
    int targets = 0;
    for (const Element& child : root.children) {
        if (child.name != "Parameter") {
            return {{}, "<" + child.name + "> in <PluginStep>"};
        }
        StepParameter p;
        p.type = attribute(child, "Type");
        p.label = attribute(child, "Label");
        p.defaultValue = attribute(child, "Default");
        if (p.type == "Target") {
            if (++targets > 1) {
                return {{}, "more than one Target"};
            }
        } else {
            const std::string id = attribute(child, "ID");
            if (id.size() != 1 || id[0] < '0' || id[0] > '9') {
                return {{}, "parameter " + p.label + " has ID \"" + id + "\", not 0 to 9"};
            }
            p.id = id[0] - '0';
            if (!ids.insert(p.id).second) {
                return {{}, "ID " + id + " repeated"};
            }
        }
        definition.parameters.push_back(p);
    }
    return definition;
}

} // namespace

StepDefinition readStepDefinition(const std::string& xml) {
    try {
        return parameters(Reader(xml).document());
    } catch (const Malformed& m) {
        return {{}, std::string("not well formed: ") + m.what()};
    }
}

} // namespace fakehost
