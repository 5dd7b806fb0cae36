// What every COM test needs: an apartment per test, the library's own exports
// for the unload check, and small helpers to call objects the way clients do
// (by ProgID, through vtables and through IDispatch by name).
#pragma once

#include <windows.h>
#include <oleauto.h>

#include <gtest/gtest.h>

#include <initializer_list>
#include <utility>
#include <string>
#include <vector>

#include "OPCHDAAuto.h"
#include "com_holders.h"

namespace comtest {

inline constexpr wchar_t kProgID[] = L"OPCHDA.Automation";

// The library's DllCanUnloadNow, once a client has loaded it; S_OK when no
// object of it is alive. Returns E_UNEXPECTED when the library is not loaded.
HRESULT LibraryCanUnloadNow();

// Creates the server object by ProgID, as clients do.
HRESULT CreateServer(ComPtr<IOPCHDAAutoServer>& server);

// IDispatch by name: resolves `name` and invokes it with `flags`; `args` in
// declared order (they are reversed for DISPPARAMS).
HRESULT InvokeByName(IDispatch* object, const wchar_t* name, WORD flags, std::vector<VARIANT> args, VARIANT* result);
HRESULT GetProperty(IDispatch* object, const wchar_t* name, VARIANT* result);
HRESULT CallMethod(IDispatch* object, const wchar_t* name, std::vector<VARIANT> args, VARIANT* result = nullptr);

// Small VARIANT makers (the caller's vector owns nothing: BSTRs made here are
// freed by the helpers above after the call).
VARIANT VarI4(LONG v);
VARIANT VarR8(double v);
VARIANT VarDate(DATE v);
VARIANT VarBstr(const wchar_t* s);
VARIANT VarEmpty();
VARIANT VarMissing();  // an omitted optional argument

// A SAFEARRAY of `vt` with lower bound `lower`, filled from `values`.
SAFEARRAY* MakeLongArray(std::initializer_list<LONG> values, LONG lower = 1);
SAFEARRAY* MakeDateArray(std::initializer_list<DATE> values, LONG lower = 1);
SAFEARRAY* MakeBstrArray(std::initializer_list<const wchar_t*> values, LONG lower = 1);
SAFEARRAY* MakeVariantArray(std::initializer_list<VARIANT> values, LONG lower = 1);  // copies each value

// Times as clients pass them: texts the historian resolves ("NOW-1H"), which a
// successful request turns into dates.
UniqueVariant Text(const wchar_t* s);
struct TimeRange {
    explicit TimeRange(const wchar_t* start = L"NOW-10M", const wchar_t* end = L"NOW")
        : start(Text(start)), end(Text(end)) {}
    UniqueVariant start, end;
};
// Local "now" as an automation date, and spans as dates.
DATE LocalNow();
inline constexpr double kHour = 1.0 / 24;
inline constexpr double kSecond = 1.0 / 86400;

// A by-reference argument, as script hosts and typed clients pass outputs.
VARIANT Ref(VARTYPE vt, void* p);

// Element `index` of a one-dimensional array.
LONG LongAt(SAFEARRAY* array, LONG index);
// Lower and upper bound of a one-dimensional array.
std::pair<LONG, LONG> BoundsOf(SAFEARRAY* array);
HRESULT VariantAt(SAFEARRAY* array, LONG index, VARIANT* out);

// Fixture base: one multithreaded apartment per test, and at the end of each
// test the library must be unloadable (every object released).
class ComTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
    // Set to false by tests that expect objects to outlive the test body.
    bool checkUnload_ = true;
};

// Same with a single-threaded apartment.
class StaComTest : public ComTest {
protected:
    void SetUp() override;
};

}  // namespace comtest
