// The catalogue of simulated signals and the deterministic base history of each.
// Internal to the model; the public face is historian.h.
#pragma once

#include "historian.h"

#include <map>
#include <optional>

namespace hdasim {

enum class SignalKind {
    Analog,   // offset + amplitude*sin(2*pi*phase) + noise*(2*u-1), u = hashed uniform in [0,1)
    Ramp,     // k mod modulus (VT_R8)
    Step,     // (k / divisor) mod modulus (VT_I4)
    Counter,  // (k * divisor) mod modulus (VT_I4)
    Flag,     // (k / divisor) odd (VT_BOOL)
    Text,     // prefix + decimal((k / divisor) mod modulus) (VT_BSTR)
};

// A window repeating every `cycle` samples: samples with k mod cycle in [from, from+length).
struct Window {
    std::int64_t cycle = 0;  // 0 = never
    std::int64_t from = 0;
    std::int64_t length = 0;
    bool Contains(std::int64_t k) const {
        if (cycle <= 0) return false;
        std::int64_t m = k % cycle;
        if (m < 0) m += cycle;
        return m >= from && m < from + length;
    }
};

struct SignalDef {
    std::wstring itemId;      // "Plant/Area1/Reactor1/Temperature"
    std::wstring branch;      // "Plant/Area1/Reactor1"
    std::wstring name;        // "Temperature"
    std::uint32_t index = 0;  // position in the catalogue, keys the noise
    SignalKind kind = SignalKind::Analog;
    VARTYPE vt = VT_R8;
    Ticks period = 10 * kTicksPerSecond;  // sample grid: samples at k * period
    bool stepped = false;
    // Analog parameters
    double offset = 0, amplitude = 0, noise = 0;
    Ticks wavePeriod = 600 * kTicksPerSecond;
    // Integer kinds
    std::int64_t divisor = 1, modulus = 1000;
    std::wstring prefix;
    Window gap, bad, uncertain;
    // Attributes
    std::wstring description, engUnits;
    double normalMax = 100, normalMin = 0, highEntry = 1000, lowEntry = -1000;
};

// Hashed uniform noise in [0, 1) for (signal index, sample index).
double NoiseUniform(std::uint32_t index, std::int64_t k);

// The raw value of a signal at sample index k (ignores gaps and the clock).
UniqueVariant BaseValue(const SignalDef& s, std::int64_t k);
// Quality of sample k: good/uncertain/bad or-ed with OPCHDA_RAW.
std::uint32_t BaseQuality(const SignalDef& s, std::int64_t k);

// Time of the first archived sample: 2020-01-01 00:00 UTC. Nothing exists before it.
Ticks ArchiveStart();

class ItemSpace {
public:
    ItemSpace();  // builds the plant
    const std::vector<SignalDef>& Signals() const { return signals_; }
    const SignalDef* Find(const std::wstring& itemId) const;
    // Every branch path ("Plant", "Plant/Area1", ...) with its child branch names and leaves (signal indexes).
    struct Branch {
        std::vector<std::wstring> children;  // names, in creation order
        std::vector<std::uint32_t> leaves;   // signal indexes
    };
    const Branch* FindBranch(const std::wstring& path) const;  // "" = root

private:
    void Add(SignalDef s);
    void AddBranch(const std::wstring& branch);
    std::vector<SignalDef> signals_;
    std::map<std::wstring, std::uint32_t> byId_;
    std::map<std::wstring, Branch> branches_;
};

// Value of attribute `id` for a signal; nullopt for an unknown id.
std::optional<UniqueVariant> AttributeValue(const SignalDef& s, std::uint32_t id);

// '*' any run, '?' any one character; case-insensitive.
bool WildcardMatch(const std::wstring& pattern, const std::wstring& text);

// Civil date helpers (proleptic Gregorian, UTC).
std::int64_t DaysFromCivil(std::int64_t y, unsigned m, unsigned d);
void CivilFromDays(std::int64_t days, std::int64_t* y, unsigned* m, unsigned* d);
Ticks TicksFromCivil(std::int64_t y, unsigned m, unsigned d, int hh = 0, int mm = 0, int ss = 0);

}  // namespace hdasim
