#include "sim/scenario/scenario.h"

#include <nlohmann/json.hpp>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>
#include <set>
#include <sstream>
#include <stdexcept>

namespace flashwell::sim {

namespace {

using nlohmann::json;

// A problem with one field; the message names the field's path.
struct FieldError : std::runtime_error {
    FieldError(const std::string& path, const std::string& problem)
        : std::runtime_error((path.empty() ? std::string("top level") : path) + ": " + problem) {}
};

class Reader {
public:
    Reader(const json& value, std::string path) : value_(value), path_(std::move(path)) {}

    const std::string& Path() const { return path_; }

    void ExpectObject(std::initializer_list<const char*> allowed) const {
        if (!value_.is_object()) throw FieldError(path_, "expected an object");
        std::set<std::string> names(allowed.begin(), allowed.end());
        for (auto it = value_.begin(); it != value_.end(); ++it)
            if (!names.count(it.key())) throw FieldError(Child(it.key()), "unknown field");
    }

    bool Has(const char* key) const { return value_.contains(key); }
    Reader At(const char* key) const { return Reader(value_.at(key), Child(key)); }

    std::string Text(std::size_t maxLength) const {
        if (!value_.is_string()) throw FieldError(path_, "expected a text");
        const std::string s = value_.get<std::string>();
        if (s.size() > maxLength)
            throw FieldError(path_, "longer than " + std::to_string(maxLength) + " characters");
        if (s.find('\0') != std::string::npos) throw FieldError(path_, "contains a NUL");
        return s;
    }

    std::int64_t Integer(std::int64_t min, std::int64_t max) const {
        std::int64_t v = 0;
        if (value_.is_number_integer()) {
            v = value_.get<std::int64_t>();
        } else if (value_.is_string()) {
            // Request codes and versions read best in hexadecimal.
            const std::string s = value_.get<std::string>();
            std::size_t used = 0;
            try {
                v = std::stoll(s, &used, 0);
            } catch (const std::exception&) {
                used = 0;
            }
            if (used == 0 || used != s.size())
                throw FieldError(path_, "expected a number, got \"" + s + "\"");
        } else {
            throw FieldError(path_, "expected a number");
        }
        if (v < min || v > max)
            throw FieldError(path_, "must be between " + std::to_string(min) + " and " +
                                        std::to_string(max));
        return v;
    }

    bool Boolean() const {
        if (!value_.is_boolean()) throw FieldError(path_, "expected true or false");
        return value_.get<bool>();
    }

    std::string OneOf(std::initializer_list<const char*> choices) const {
        const std::string s = Text(64);
        for (const char* c : choices)
            if (s == c) return s;
        std::string list;
        for (const char* c : choices)
            list += std::string(list.empty() ? "" : ", ") + c;
        throw FieldError(path_, "\"" + s + "\" is not one of " + list);
    }

    // "a.b.c" with each part within its range.
    std::vector<std::int64_t> Dotted(std::size_t parts, std::int64_t max) const {
        const std::string s = Text(32);
        std::vector<std::int64_t> out;
        std::istringstream in(s);
        std::string part;
        while (std::getline(in, part, '.')) {
            if (part.empty() || part.find_first_not_of("0123456789") != std::string::npos ||
                part.size() > 6)
                throw FieldError(path_, "expected " + std::to_string(parts) +
                                            " numbers separated by dots, got \"" + s + "\"");
            out.push_back(std::stoll(part));
            if (out.back() > max)
                throw FieldError(path_, "part " + part + " is above " + std::to_string(max));
        }
        if (out.size() != parts)
            throw FieldError(path_, "expected " + std::to_string(parts) +
                                        " numbers separated by dots, got \"" + s + "\"");
        return out;
    }

    std::vector<Reader> Array() const {
        if (!value_.is_array()) throw FieldError(path_, "expected a list");
        std::vector<Reader> items;
        for (std::size_t i = 0; i < value_.size(); ++i)
            items.emplace_back(value_.at(i), path_ + "[" + std::to_string(i) + "]");
        return items;
    }

private:
    std::string Child(const std::string& key) const {
        return path_.empty() ? key : path_ + "." + key;
    }

    const json& value_;
    std::string path_;
};

ScenarioParameterBlock ReadParameterBlock(const Reader& r) {
    r.ExpectObject({"readable", "productName", "manufacturer", "vendor", "customer", "serialNumber",
                    "hardwareRevision", "boardDate", "featureFlags"});
    ScenarioParameterBlock p;
    if (r.Has("readable")) p.readable = r.At("readable").Boolean();
    if (r.Has("productName")) p.productName = r.At("productName").Text(32);
    if (r.Has("manufacturer")) p.manufacturer = r.At("manufacturer").Text(32);
    if (r.Has("vendor")) p.vendor = r.At("vendor").Text(32);
    if (r.Has("customer")) p.customer = r.At("customer").Text(32);
    if (r.Has("serialNumber")) p.serialNumber = r.At("serialNumber").Text(20);
    if (r.Has("hardwareRevision")) {
        const auto v = r.At("hardwareRevision").Dotted(2, 255);
        p.revisionMajor = static_cast<std::uint8_t>(v[0]);
        p.revisionMinor = static_cast<std::uint8_t>(v[1]);
    }
    if (r.Has("boardDate")) {
        const Reader d = r.At("boardDate");
        d.ExpectObject({"day", "month", "year"});
        if (d.Has("day")) p.dateDay = d.At("day").Text(2);
        if (d.Has("month")) p.dateMonth = d.At("month").Text(2);
        if (d.Has("year")) p.dateYear = d.At("year").Text(4);
    }
    if (r.Has("featureFlags")) {
        const auto items = r.At("featureFlags").Array();
        if (items.size() > 10) throw FieldError(r.At("featureFlags").Path(), "more than 10 bytes");
        for (const Reader& item : items)
            p.featureFlags.push_back(static_cast<std::uint8_t>(item.Integer(0, 255)));
    }
    return p;
}

ScenarioBoard ReadBoard(const Reader& r) {
    r.ExpectObject({"kind", "contents", "subId", "highSpeed", "firmwareVersion", "driverVersion",
                    "interfaceVersion", "parameterBlock", "faults", "reenumeration",
                    "eepromWeakBytes", "timing", "driver", "pullAt", "failAt"});
    ScenarioBoard b;
    if (r.Has("driver")) b.driver = r.At("driver").OneOf({"legacy", "winusb"});
    for (const auto& [name, into] : {std::pair{"pullAt", &b.pullAt}, {"failAt", &b.failAt}})
        if (r.Has(name)) *into = r.At(name).OneOf({"firmware", "rbf", "kpci", "flash", "boot"});
    if (r.Has("kind"))
        b.kind = r.At("kind").OneOf({"usb1801", "usb1802", "pci", "boot8613", "boot2131"});
    if (r.Has("contents")) b.contents = r.At("contents").OneOf({"old", "current", "blank"});
    if (r.Has("subId"))
        b.subId = static_cast<std::int32_t>(r.At("subId").Integer(-0x800000, 0x7FFFFF));
    if (r.Has("highSpeed")) b.highSpeed = r.At("highSpeed").Boolean();
    if (r.Has("firmwareVersion")) {
        const auto v = r.At("firmwareVersion").Dotted(3, 255);
        for (int i = 0; i < 3; ++i)
            b.firmwareVersion[i] = static_cast<std::uint8_t>(v[static_cast<std::size_t>(i)]);
    }
    if (r.Has("driverVersion")) {
        const auto v = r.At("driverVersion").Dotted(3, 0xFFFF);
        for (int i = 0; i < 3; ++i)
            b.driverVersion[i] = static_cast<std::uint16_t>(v[static_cast<std::size_t>(i)]);
    }
    if (r.Has("interfaceVersion")) {
        const Reader v = r.At("interfaceVersion");
        if (v.Has("absent")) {
            v.ExpectObject({"absent"});
            b.interfaceVersion.reset();
        } else {
            b.interfaceVersion = static_cast<std::uint32_t>(v.Integer(0, 0xFFFFFFFF));
        }
    }
    if (r.Has("parameterBlock")) b.parameterBlock = ReadParameterBlock(r.At("parameterBlock"));
    if (r.Has("faults")) {
        for (const Reader& f : r.At("faults").Array()) {
            f.ExpectObject({"request", "after", "error", "once"});
            ScenarioFault fault;
            if (f.Has("request"))
                fault.request = static_cast<std::uint32_t>(f.At("request").Integer(0, 0xFFFFFFFF));
            if (f.Has("after"))
                fault.after = static_cast<std::uint32_t>(f.At("after").Integer(0, 0xFFFFFFF));
            if (!f.Has("error")) throw FieldError(f.Path() + ".error", "missing");
            fault.error = static_cast<std::uint32_t>(f.At("error").Integer(1, 0xFFFF));
            if (f.Has("once")) fault.once = f.At("once").Boolean();
            b.faults.push_back(fault);
        }
    }
    if (r.Has("reenumeration")) {
        const Reader e = r.At("reenumeration");
        e.ExpectObject({"delayMs", "comesBack"});
        if (e.Has("delayMs"))
            b.reenumerationDelayMs = static_cast<std::uint32_t>(e.At("delayMs").Integer(0, 600000));
        if (e.Has("comesBack")) b.reenumerationComesBack = e.At("comesBack").Boolean();
    }
    if (r.Has("timing")) {
        const Reader t = r.At("timing");
        t.ExpectObject({"loadPrepareMs", "programStartMs", "blockPrepareMs", "blockWriteMs",
                        "eraseMs", "eepromWriteCycleMs", "bootProgramWriteMs"});
        const auto read = [&](const char* name, std::optional<std::uint32_t>& into) {
            if (t.Has(name)) into = static_cast<std::uint32_t>(t.At(name).Integer(0, 600000));
        };
        read("loadPrepareMs", b.timing.loadPrepareMs);
        read("programStartMs", b.timing.programStartMs);
        read("blockPrepareMs", b.timing.blockPrepareMs);
        read("blockWriteMs", b.timing.blockWriteMs);
        read("eraseMs", b.timing.eraseMs);
        read("eepromWriteCycleMs", b.timing.eepromWriteCycleMs);
        read("bootProgramWriteMs", b.timing.bootProgramWriteMs);
    }
    if (r.Has("eepromWeakBytes")) {
        for (const Reader& w : r.At("eepromWeakBytes").Array()) {
            w.ExpectObject({"address", "verifyAt"});
            if (!w.Has("address")) throw FieldError(w.Path() + ".address", "missing");
            const auto address = static_cast<std::uint16_t>(w.At("address").Integer(0, 0x3FFF));
            const auto at = w.Has("verifyAt")
                                ? static_cast<std::uint32_t>(w.At("verifyAt").Integer(0, 1000))
                                : 0u;
            b.eepromWeakBytes.emplace_back(address, at);
        }
    }
    return b;
}

platform::OsVersionInfo ReadWindows(const Reader& r) {
    r.ExpectObject({"version", "platformId", "servicePack"});
    platform::OsVersionInfo v{};
    v.dwOSVersionInfoSize = sizeof v;
    const auto parts = r.Has("version") ? r.At("version").Dotted(3, 0xFFFFFFFF)
                                        : std::vector<std::int64_t>{5, 1, 2600};
    v.dwMajorVersion = static_cast<std::uint32_t>(parts[0]);
    v.dwMinorVersion = static_cast<std::uint32_t>(parts[1]);
    v.dwBuildNumber = static_cast<std::uint32_t>(parts[2]);
    v.dwPlatformId =
        r.Has("platformId") ? static_cast<std::uint32_t>(r.At("platformId").Integer(0, 3)) : 2;
    const std::string sp = r.Has("servicePack") ? r.At("servicePack").Text(127) : "";
    std::memcpy(v.szCSDVersion, sp.c_str(), sp.size() + 1);
    return v;
}

} // namespace

Scenario DefaultScenario() {
    Scenario s;
    s.name = "default";
    s.boards.push_back(ScenarioBoard{});
    return s;
}

// The JSON library's messages start with its own bookkeeping ("[json.exception.parse_error.101]
// "); what follows is the plain description a user can act on.
namespace {
std::string PlainMessage(const std::exception& e) {
    std::string message = e.what();
    if (message.rfind("[json.exception.", 0) == 0) {
        const std::size_t end = message.find("] ");
        if (end != std::string::npos) message.erase(0, end + 2);
    }
    return message;
}
} // namespace

ScenarioResult ParseScenario(const std::string& text, const std::string& fileName) {
    ScenarioResult result;
    json document;
    try {
        document = json::parse(text);
    } catch (const json::exception& e) {
        // Not only syntax errors: a number too large for any type is thrown as out_of_range.
        result.error = fileName + ": (document): not valid JSON: " + PlainMessage(e);
        return result;
    }
    try {
        const Reader root(document, "");
        root.ExpectObject({"name", "boards", "windows"});
        Scenario s;
        s.name = root.Has("name") ? root.At("name").Text(kMaxScenarioNameLength) : fileName;
        if (!root.Has("boards")) throw FieldError("boards", "missing");
        const auto boards = root.At("boards").Array();
        if (boards.size() > 16) throw FieldError("boards", "more than 16 boards");
        for (const Reader& b : boards)
            s.boards.push_back(ReadBoard(b));
        if (root.Has("windows")) s.windowsVersion = ReadWindows(root.At("windows"));
        result.scenario = std::move(s);
    } catch (const FieldError& e) {
        result.error = fileName + ": " + e.what();
    } catch (const std::exception& e) {
        result.error = fileName + ": " + PlainMessage(e);
    }
    return result;
}

ScenarioResult LoadScenarioFile(const std::string& path) {
    // Checked before reading: a device or a pipe named as a scenario would be read forever.
    std::error_code ec;
    const auto status = std::filesystem::status(path, ec);
    if (ec || !std::filesystem::exists(status)) return {std::nullopt, path + ": no such file"};
    if (!std::filesystem::is_regular_file(status))
        return {std::nullopt, path + ": not a regular file"};
    const auto size = std::filesystem::file_size(path, ec);
    if (ec) return {std::nullopt, path + ": cannot be read"};
    if (size > kMaxScenarioFileBytes)
        return {std::nullopt, path + ": larger than 1 MiB, too large for a scenario"};
    std::ifstream file(path, std::ios::binary);
    if (!file) return {std::nullopt, path + ": cannot be read"};
    std::string text(static_cast<std::size_t>(size), '\0');
    file.read(text.data(), static_cast<std::streamsize>(size));
    text.resize(static_cast<std::size_t>(file.gcount()));
    return ParseScenario(text, path);
}

} // namespace flashwell::sim
