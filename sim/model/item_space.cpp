// The simulated plant: its signals, their deterministic base history and attributes.
#include "item_space.h"

#include <cmath>
#include <cwchar>
#include <cwctype>
#include <numbers>

namespace hdasim {

double NoiseUniform(std::uint32_t index, std::int64_t k) {
    // splitmix64 of (signal, sample): stable across runs and platforms.
    std::uint64_t z = (static_cast<std::uint64_t>(index) << 48) ^ static_cast<std::uint64_t>(k);
    z += 0x9E3779B97F4A7C15ull;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    z ^= z >> 31;
    return static_cast<double>(z >> 11) / 9007199254740992.0;  // 2^53
}

Ticks ArchiveStart() { return TicksFromCivil(2020, 1, 1); }

UniqueVariant BaseValue(const SignalDef& s, std::int64_t k) {
    switch (s.kind) {
        case SignalKind::Analog: {
            const Ticks t = k * s.period;
            // The phase in exact integer arithmetic keeps the value reproducible far from 1601.
            const double phase = static_cast<double>(t % s.wavePeriod) / static_cast<double>(s.wavePeriod);
            double v = s.offset + s.amplitude * std::sin(2.0 * std::numbers::pi * phase);
            if (s.noise != 0) v += s.noise * (2.0 * NoiseUniform(s.index, k) - 1.0);
            return R8Variant(v);
        }
        case SignalKind::Ramp: return R8Variant(static_cast<double>(k % s.modulus));
        case SignalKind::Step: return I4Variant(static_cast<std::int32_t>((k / s.divisor) % s.modulus));
        case SignalKind::Counter: return I4Variant(static_cast<std::int32_t>((k * s.divisor) % s.modulus));
        case SignalKind::Flag: return BoolVariant(((k / s.divisor) % 2) == 1);
        case SignalKind::Text: return BstrVariant(s.prefix + std::to_wstring((k / s.divisor) % s.modulus));
    }
    return UniqueVariant();
}

std::uint32_t BaseQuality(const SignalDef& s, std::int64_t k) {
    if (s.bad.Contains(k)) return kQualityBad | OPCHDA_RAW;
    if (s.uncertain.Contains(k)) return kQualityUncertain | OPCHDA_RAW;
    return kQualityGood | OPCHDA_RAW;
}

namespace {

SignalDef Signal(const wchar_t* name, SignalKind kind, VARTYPE vt, const wchar_t* units, const wchar_t* description) {
    SignalDef s;
    s.name = name;
    s.kind = kind;
    s.vt = vt;
    s.engUnits = units;
    s.description = description;
    return s;
}

SignalDef Analog(const wchar_t* name, double offset, double amplitude, double noise, int waveSeconds,
                 const wchar_t* units, const wchar_t* description) {
    SignalDef s = Signal(name, SignalKind::Analog, VT_R8, units, description);
    s.offset = offset;
    s.amplitude = amplitude;
    s.noise = noise;
    s.wavePeriod = waveSeconds * kTicksPerSecond;
    s.normalMin = offset - amplitude - noise;
    s.normalMax = offset + amplitude + noise;
    s.lowEntry = s.normalMin - 10 * (amplitude + 1);
    s.highEntry = s.normalMax + 10 * (amplitude + 1);
    return s;
}

SignalDef Discrete(const wchar_t* name, SignalKind kind, VARTYPE vt, int periodSeconds, std::int64_t divisor,
                   std::int64_t modulus, const wchar_t* units, const wchar_t* description) {
    SignalDef s = Signal(name, kind, vt, units, description);
    s.period = periodSeconds * kTicksPerSecond;
    s.divisor = divisor;
    s.modulus = modulus;
    s.stepped = true;
    s.normalMin = 0;
    s.normalMax = static_cast<double>(modulus);
    s.lowEntry = 0;
    s.highEntry = static_cast<double>(modulus);
    return s;
}

SignalDef WithGap(SignalDef s, std::int64_t cycle, std::int64_t from, std::int64_t length) {
    s.gap = {cycle, from, length};
    return s;
}
SignalDef WithBad(SignalDef s, std::int64_t cycle, std::int64_t from, std::int64_t length) {
    s.bad = {cycle, from, length};
    return s;
}
SignalDef WithUncertain(SignalDef s, std::int64_t cycle, std::int64_t from, std::int64_t length) {
    s.uncertain = {cycle, from, length};
    return s;
}
SignalDef Every(SignalDef s, int seconds) {
    s.period = seconds * kTicksPerSecond;
    return s;
}

}  // namespace

ItemSpace::ItemSpace() {
    auto place = [this](const std::wstring& branch, SignalDef s) {
        s.branch = branch;
        Add(std::move(s));
    };
    // Calibration signals: exactly known, documented in historian.h.
    const std::wstring lab = L"Plant/Lab/Calibration";
    place(lab, Analog(L"Sine", 50, 10, 0, 600, L"%", L"Calibration sine, 10 min period"));
    {
        SignalDef r = Discrete(L"Ramp", SignalKind::Ramp, VT_R8, 10, 1, 1000, L"", L"Calibration ramp");
        r.stepped = false;
        place(lab, r);
    }
    place(lab, Discrete(L"Step", SignalKind::Step, VT_I4, 60, 10, 5, L"", L"Calibration step"));
    place(lab, Discrete(L"Counter", SignalKind::Counter, VT_I4, 10, 1, 1000000, L"pcs", L"Calibration counter"));
    place(lab, Discrete(L"Flag", SignalKind::Flag, VT_BOOL, 30, 4, 2, L"", L"Calibration flag"));
    {
        SignalDef t = Discrete(L"Text", SignalKind::Text, VT_BSTR, 60, 1, 7, L"", L"Calibration text");
        t.prefix = L"State";
        place(lab, t);
    }
    {
        SignalDef g = Discrete(L"Gappy", SignalKind::Ramp, VT_R8, 10, 1, 1000, L"", L"Calibration ramp with gaps");
        g.stepped = false;
        g = WithGap(g, 60, 20, 10);
        g = WithBad(g, 60, 40, 5);
        g = WithUncertain(g, 60, 45, 5);
        place(lab, g);
    }

    // The production areas: three areas, each with a reactor, a tank and a pump.
    for (int area = 1; area <= 3; ++area) {
        const std::wstring a = L"Plant/Area" + std::to_wstring(area);
        const double shift = area * 5.0;
        const std::wstring reactor = a + L"/Reactor1";
        place(reactor, Analog(L"Temperature", 320 + shift, 15, 0.5, 3600, L"degC", L"Reactor temperature"));
        place(reactor, Analog(L"Pressure", 4 + area * 0.2, 0.8, 0.05, 1800, L"bar", L"Reactor pressure"));
        place(reactor, WithGap(Analog(L"Level", 60, 20, 1, 7200, L"%", L"Reactor level"), 360, 100 + area, 30));
        place(reactor, Discrete(L"Agitator", SignalKind::Flag, VT_BOOL, 30, 20 + area, 2, L"", L"Agitator running"));
        place(reactor, Discrete(L"Mode", SignalKind::Step, VT_I4, 60, 15, 4, L"", L"Operating mode"));
        place(reactor, Discrete(L"BatchCount", SignalKind::Counter, VT_I4, 60, 1, 100000, L"batches", L"Batches made"));
        {
            SignalDef st = Discrete(L"Status", SignalKind::Text, VT_BSTR, 60, 20, 3, L"", L"Reactor state");
            st.prefix = L"Phase";
            place(reactor, st);
        }
        const std::wstring tank = a + L"/Tank1";
        place(tank, Every(Analog(L"Level", 55, 30, 0.8, 5400, L"%", L"Tank level"), 60));
        place(tank, Every(Analog(L"Temperature", 25 + shift, 3, 0.2, 86400, L"degC", L"Tank temperature"), 60));
        place(tank, Discrete(L"InletValve", SignalKind::Flag, VT_BOOL, 10, 45, 2, L"", L"Inlet valve open"));
        place(tank, WithBad(Analog(L"Volume", 120, 40, 2, 5400, L"m3", L"Tank volume"), 500, 250 + area, 20));
        place(tank,
              WithUncertain(Analog(L"Density", 1.02, 0.01, 0.001, 3000, L"kg/l", L"Product density"), 200, 50, 25));
        const std::wstring pump = a + L"/Pump1";
        place(pump, Analog(L"Speed", 1450, 30, 5, 900, L"rpm", L"Pump speed"));
        place(pump, Analog(L"Current", 12 + area, 1.5, 0.3, 900, L"A", L"Motor current"));
        place(pump, Discrete(L"Running", SignalKind::Flag, VT_BOOL, 10, 90, 2, L"", L"Pump running"));
        place(pump, Discrete(L"Starts", SignalKind::Counter, VT_I4, 60, 1, 1000000, L"", L"Number of starts"));
        place(pump,
              WithBad(WithGap(Analog(L"Vibration", 2.5, 0.5, 0.2, 1200, L"mm/s", L"Bearing vibration"), 720, 600, 60),
                      720, 300, 30));
    }

    // The utilities' metering: one flat position with more leaves than a
    // client fetches in two batches. 250 flow meters (VT_R8, FlowMeter000 to
    // FlowMeter249: exactly 100 match "*FlowMeter0*") and 20 energy counters.
    const std::wstring meters = L"Plant/Utilities/Meters";
    for (int i = 0; i < 250; ++i) {
        wchar_t name[16];
        swprintf(name, 16, L"FlowMeter%03d", i);
        const double base = 20.0 + (i % 25) * 4.0;
        place(meters, Every(Analog(name, base, base / 4, 0.5, 1800 + 60 * (i % 30), L"m3/h", L"Flow meter"), 60));
    }
    for (int i = 1; i <= 20; ++i) {
        wchar_t name[16];
        swprintf(name, 16, L"EnergyMeter%02d", i);
        place(meters, Discrete(name, SignalKind::Counter, VT_I4, 60, i, 10000000, L"kWh", L"Energy meter"));
    }
    // Commissioned but not yet wired: a position with nothing below it.
    AddBranch(L"Plant/Spare");
}

void ItemSpace::Add(SignalDef s) {
    s.index = static_cast<std::uint32_t>(signals_.size());
    s.itemId = s.branch + L"/" + s.name;
    byId_[s.itemId] = s.index;
    branches_[s.branch].leaves.push_back(s.index);
    AddBranch(s.branch);
    signals_.push_back(std::move(s));
}

void ItemSpace::AddBranch(const std::wstring& branch) {
    // Registers the branch chain; the root ("") holds "Plant".
    std::wstring path = branch;
    branches_[path];
    for (;;) {
        const std::size_t slash = path.rfind(L'/');
        const std::wstring parent = slash == std::wstring::npos ? L"" : path.substr(0, slash);
        const std::wstring name = slash == std::wstring::npos ? path : path.substr(slash + 1);
        auto& children = branches_[parent].children;
        bool known = false;
        for (const auto& c : children) known = known || c == name;
        if (!known) children.push_back(name);
        if (parent.empty()) break;
        path = parent;
    }
}

const SignalDef* ItemSpace::Find(const std::wstring& itemId) const {
    auto it = byId_.find(itemId);
    return it == byId_.end() ? nullptr : &signals_[it->second];
}

const ItemSpace::Branch* ItemSpace::FindBranch(const std::wstring& path) const {
    auto it = branches_.find(path);
    return it == branches_.end() ? nullptr : &it->second;
}

std::optional<UniqueVariant> AttributeValue(const SignalDef& s, std::uint32_t id) {
    switch (id) {
        case OPCHDA_DATA_TYPE: return I2Variant(static_cast<SHORT>(s.vt));
        case OPCHDA_DESCRIPTION: return BstrVariant(s.description);
        case OPCHDA_ENG_UNITS: return BstrVariant(s.engUnits);
        case OPCHDA_STEPPED: return BoolVariant(s.stepped);
        case OPCHDA_ARCHIVING: return BoolVariant(true);
        case OPCHDA_DERIVE_EQUATION: return BstrVariant(L"");
        case OPCHDA_NODE_NAME: return BstrVariant(L"HDASIM");
        case OPCHDA_PROCESS_NAME: return BstrVariant(L"HdaSim");
        case OPCHDA_SOURCE_NAME: return BstrVariant(s.name);
        case OPCHDA_SOURCE_TYPE: return BstrVariant(L"Simulated");
        case OPCHDA_NORMAL_MAXIMUM: return R8Variant(s.normalMax);
        case OPCHDA_NORMAL_MINIMUM: return R8Variant(s.normalMin);
        case OPCHDA_ITEMID: return BstrVariant(s.itemId);
        case OPCHDA_MAX_TIME_INT:
        case OPCHDA_MIN_TIME_INT: {
            // The sample interval in seconds, as currency (the usual type of these two).
            UniqueVariant seconds;
            seconds->vt = VT_CY;
            seconds->cyVal.int64 = (s.period / kTicksPerSecond) * 10000;
            return seconds;
        }
        case OPCHDA_EXCEPTION_DEV: return R8Variant(0.0);
        case OPCHDA_EXCEPTION_DEV_TYPE: return I2Variant(0);  // absolute
        case OPCHDA_HIGH_ENTRY_LIMIT: return R8Variant(s.highEntry);
        case OPCHDA_LOW_ENTRY_LIMIT: return R8Variant(s.lowEntry);
        default: return std::nullopt;
    }
}

bool WildcardMatch(const std::wstring& pattern, const std::wstring& text) {
    // Iterative match with backtracking to the last '*'.
    std::size_t p = 0, t = 0, star = std::wstring::npos, mark = 0;
    while (t < text.size()) {
        if (p < pattern.size() && (pattern[p] == L'?' || std::towupper(pattern[p]) == std::towupper(text[t]))) {
            ++p;
            ++t;
        } else if (p < pattern.size() && pattern[p] == L'*') {
            star = p++;
            mark = t;
        } else if (star != std::wstring::npos) {
            p = star + 1;
            t = ++mark;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == L'*') ++p;
    return p == pattern.size();
}

}  // namespace hdasim
