// Scripts the fake WinSCard.dll from a file, for programs that load it in a process of their
// own (fmxhost.exe loading Tessarin.fmx64) where no test code can call the scripting API.
//
// When the DLL is loaded it reads the file that PCSCFAKE_SCRIPT names, if set. One directive a
// line; blank lines and lines starting with # are skipped:
//
//   reader NAME           a reader that the service lists, in order
//   noreader              no reader listed any more
//   card NAME             the reader that holds the card (default: the first listed)
//   nocard                no card in any reader
//   other NAME            a card of another kind in reader NAME: every command answered 6A82
//   service stopped|running
//                         the service stops (every call fails, its contexts are gone) or runs
//   protocol 1|2          the card speaks T=0 or T=1
//   fail CALL CODE...     the n-th CALL (EstablishContext, ListReaders, Connect, Transmit,
//                         Disconnect, ReleaseContext, BeginTransaction, EndTransaction,
//                         GetStatusChange, Cancel) returns the n-th CODE (hexadecimal; 0 lets
//                         that call behave normally)
//   at CALL N DIRECTIVE   one of the directives reader, noreader, card, nocard and service,
//                         done when the N-th CALL arrives, before the call does anything: a
//                         timeline for a program that waits for card events
//   file PATH             starts a file on the card at PATH (hexadecimal, e.g. 3F00DF014031)
//   tlv TAG TEXT          appends an element: TAG (hexadecimal), the length of TEXT, TEXT
//   hex BYTES             appends bytes written in hexadecimal; blanks between them allowed
//   include FILE          the directives of FILE (beside this script), e.g. a card shared by
//                         several scripts
//
// A script that cannot be read or understood ends the process with a message, so that a test
// never runs against a service other than the one it described.
#include "pcscfake/pcscfake.h"

#include <windows.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <map>
#include <optional>
#include <sstream>
#include <string>

namespace {

[[noreturn]] void stop(const std::string& file, int line, const std::string& why) {
    std::fprintf(stderr, "WinSCard.dll: %s:%d: %s\n", file.c_str(), line, why.c_str());
    std::fflush(stderr);
    // Inside DllMain: ExitProcess would wait for the loader lock that this thread holds.
    TerminateProcess(GetCurrentProcess(), 3);
    std::abort();
}

std::optional<pcscfake::Bytes> hex(const std::string& text) {
    pcscfake::Bytes bytes;
    std::string digits;
    for (char c : text) {
        if (std::isxdigit(static_cast<unsigned char>(c))) {
            digits += c;
        } else if (c != ' ' && c != '\t') {
            return std::nullopt;
        }
    }
    if (digits.size() % 2 != 0) {
        return std::nullopt;
    }
    for (std::size_t i = 0; i < digits.size(); i += 2) {
        bytes.push_back(static_cast<std::uint8_t>(std::stoul(digits.substr(i, 2), nullptr, 16)));
    }
    return bytes;
}

std::optional<pcscfake::Call> call(const std::string& name) {
    static const std::map<std::string, pcscfake::Call> kCalls = {
        {"EstablishContext", pcscfake::Call::EstablishContext},
        {"ListReaders", pcscfake::Call::ListReaders},
        {"Connect", pcscfake::Call::Connect},
        {"Transmit", pcscfake::Call::Transmit},
        {"Disconnect", pcscfake::Call::Disconnect},
        {"ReleaseContext", pcscfake::Call::ReleaseContext},
        {"BeginTransaction", pcscfake::Call::BeginTransaction},
        {"EndTransaction", pcscfake::Call::EndTransaction},
        {"GetStatusChange", pcscfake::Call::GetStatusChange},
        {"Cancel", pcscfake::Call::Cancel},
    };
    auto found = kCalls.find(name);
    if (found == kCalls.end()) {
        return std::nullopt;
    }
    return found->second;
}

void load(const std::string& file);

// The readers listed, as the directives so far (and those done later, by `at`) have left them.
std::vector<std::string>& listed() {
    static std::vector<std::string> names;
    return names;
}

// The directives that change what the service sees, to be done now or when `at` says; empty
// for any other directive or a malformed one.
std::function<void()> event(const std::string& word, const std::string& rest) {
    if (word == "reader") {
        return [rest] {
            listed().push_back(rest);
            pcscfake::readers(listed());
        };
    }
    if (word == "noreader" && rest.empty()) {
        return [] {
            listed().clear();
            pcscfake::readers({});
        };
    }
    if (word == "card") {
        return [rest] { pcscfake::insertCard(rest); };
    }
    if (word == "nocard" && rest.empty()) {
        return [] { pcscfake::removeCard(); };
    }
    if (word == "service" && (rest == "stopped" || rest == "running")) {
        return [rest] { pcscfake::serviceRunning(rest == "running"); };
    }
    return nullptr;
}

struct Script {
    std::string name;
    int line = 0;
    std::optional<pcscfake::Bytes> path; // the file being written
    pcscfake::Bytes content;

    void flushFile() {
        if (path) {
            pcscfake::file(*path, content);
        }
        path.reset();
        content.clear();
    }

    void directive(const std::string& word, const std::string& rest) {
        if (const std::function<void()> now = event(word, rest)) {
            now();
            return;
        }
        if (word == "other") {
            pcscfake::otherCard(rest);
        } else if (word == "protocol") {
            pcscfake::cardProtocol(static_cast<std::uint32_t>(std::stoul(rest)));
        } else if (word == "fail") {
            failures(rest);
        } else if (word == "at") {
            later(rest);
        } else if (word == "file") {
            flushFile();
            path = bytes(rest);
        } else if (word == "tlv") {
            element(rest);
        } else if (word == "include") {
            flushFile();
            const std::size_t folder = name.find_last_of("/\\");
            load(folder == std::string::npos ? rest : name.substr(0, folder + 1) + rest);
        } else if (word == "hex") {
            pcscfake::Bytes more = bytes(rest);
            inFile().insert(content.end(), more.begin(), more.end());
        } else {
            stop(name, line, "unknown or malformed directive '" + word + "'");
        }
    }

    void failures(const std::string& rest) {
        std::istringstream words(rest);
        std::string which;
        words >> which;
        std::optional<pcscfake::Call> c = call(which);
        if (!c) {
            stop(name, line, "unknown PC/SC call '" + which + "'");
        }
        std::vector<std::uint32_t> codes;
        for (std::string code; words >> code;) {
            codes.push_back(static_cast<std::uint32_t>(std::stoul(code, nullptr, 16)));
        }
        pcscfake::script(*c, codes);
    }

    void later(const std::string& rest) {
        std::istringstream words(rest);
        std::string which;
        std::size_t n = 0;
        words >> which >> n;
        std::optional<pcscfake::Call> c = call(which);
        if (!c || n == 0) {
            stop(name, line, "'at' wants a PC/SC call and its number, from 1");
        }
        std::string word;
        std::string directive;
        words >> word;
        std::getline(words >> std::ws, directive);
        std::function<void()> then = event(word, directive);
        if (!then) {
            stop(name, line, "'at' cannot do '" + word + "'");
        }
        pcscfake::onCall(*c, n, std::move(then));
    }

    void element(const std::string& rest) {
        std::size_t blank = rest.find(' ');
        pcscfake::Bytes tag = bytes(rest.substr(0, blank));
        std::string text = blank == std::string::npos ? "" : rest.substr(blank + 1);
        if (tag.size() != 1 || text.size() > 255) {
            stop(name, line, "tlv wants one tag byte and at most 255 bytes of text");
        }
        pcscfake::Bytes& into = inFile();
        into.push_back(tag[0]);
        into.push_back(static_cast<std::uint8_t>(text.size()));
        into.insert(into.end(), text.begin(), text.end());
    }

    pcscfake::Bytes& inFile() {
        if (!path) {
            stop(name, line, "file content before any 'file' directive");
        }
        return content;
    }

    pcscfake::Bytes bytes(const std::string& text) {
        std::optional<pcscfake::Bytes> b = hex(text);
        if (!b) {
            stop(name, line, "not hexadecimal: '" + text + "'");
        }
        return *b;
    }
};

void load(const std::string& file) {
    std::ifstream in(file, std::ios::binary);
    if (!in) {
        stop(file, 0, "cannot read the script");
    }
    Script script;
    script.name = file;
    for (std::string text; std::getline(in, text);) {
        ++script.line;
        if (!text.empty() && text.back() == '\r') {
            text.pop_back();
        }
        if (text.empty() || text[0] == '#') {
            continue;
        }
        std::size_t blank = text.find(' ');
        std::string word = text.substr(0, blank);
        std::string rest = blank == std::string::npos ? "" : text.substr(blank + 1);
        try {
            script.directive(word, rest);
        } catch (const std::logic_error&) { // std::stoul on a malformed number
            stop(file, script.line, "malformed number in '" + text + "'");
        }
    }
    script.flushFile();
}

// Runs while the DLL is being loaded, before any program code can call the service.
const bool kScripted = [] {
    if (const char* file = std::getenv("PCSCFAKE_SCRIPT")) {
        load(file);
    }
    return true;
}();

} // namespace
