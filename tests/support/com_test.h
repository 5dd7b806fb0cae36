// What every COM test needs: an apartment per test, the unload check, and
// small helpers to call objects as clients do (by ProgID, through vtables and
// through IDispatch by name).
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

// The library's DllCanUnloadNow (S_OK: no object alive); E_UNEXPECTED when it is not loaded.
HRESULT LibraryCanUnloadNow();
// Creates the server object by ProgID, as clients do.
HRESULT CreateServer(ComPtr<IOPCHDAAutoServer>& server);

// IDispatch by name; `args` in declared order, cleared after the call.
HRESULT InvokeByName(IDispatch* object, const wchar_t* name, WORD flags, std::vector<VARIANT> args, VARIANT* result);
HRESULT GetProperty(IDispatch* object, const wchar_t* name, VARIANT* result);
HRESULT CallMethod(IDispatch* object, const wchar_t* name, std::vector<VARIANT> args, VARIANT* result = nullptr);

VARIANT VarI4(LONG v);
VARIANT VarR8(double v);
VARIANT VarDate(DATE v);
VARIANT VarBstr(const wchar_t* s);
VARIANT VarEmpty();
VARIANT VarMissing();  // an omitted optional argument
// A by-reference argument, as script hosts and typed clients pass outputs.
VARIANT Ref(VARTYPE vt, void* p);

// One-dimensional arrays with lower bound `lower` (variants and strings are copied in).
SAFEARRAY* MakeLongArray(std::initializer_list<LONG> values, LONG lower = 1);
SAFEARRAY* MakeDateArray(std::initializer_list<DATE> values, LONG lower = 1);
SAFEARRAY* MakeBstrArray(std::initializer_list<const wchar_t*> values, LONG lower = 1);
SAFEARRAY* MakeVariantArray(std::initializer_list<VARIANT> values, LONG lower = 1);
LONG LongAt(SAFEARRAY* array, LONG index);
std::pair<LONG, LONG> BoundsOf(SAFEARRAY* array);
HRESULT VariantAt(SAFEARRAY* array, LONG index, VARIANT* out);

// Times as clients pass them: texts the historian resolves ("NOW-1H"), which
// a successful request turns into dates.
UniqueVariant Text(const wchar_t* s);
struct TimeRange {
    explicit TimeRange(const wchar_t* start = L"NOW-10M", const wchar_t* end = L"NOW")
        : start(Text(start)), end(Text(end)) {}
    UniqueVariant start, end;
};
DATE LocalNow();
inline constexpr double kHour = 1.0 / 24;
inline constexpr double kSecond = 1.0 / 86400;

// One multithreaded apartment per test; at its end every object of the library is released.
class ComTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
};

}  // namespace comtest
