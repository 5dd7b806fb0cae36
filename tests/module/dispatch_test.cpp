// Late binding as scripting hosts use it, beyond what the object table checks:
// the default member, a property put, named arguments, and the first calls of
// a process racing to load the type information.
#include <atomic>
#include <thread>
#include <vector>

#include "module/type_info_holder.h"
#include "support/com_test.h"

using namespace comtest;

namespace {

TEST_F(ComTest, DefaultMemberPutByNameAndNamedArguments) {
    ComPtr<IOPCHDAAutoServer> server;
    ASSERT_HRESULT_SUCCEEDED(CreateServer(server));
    UniqueVariant result;
    DISPPARAMS none{nullptr, nullptr, 0, 0};
    ASSERT_EQ(
        server->Invoke(0, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_PROPERTYGET, &none, result.get(), nullptr, nullptr),
        S_OK);
    ASSERT_EQ(result->vt, VT_DISPATCH);
    ComPtr<IOPCHDAItems> items;
    ASSERT_EQ(result->pdispVal->QueryInterface(IID_IOPCHDAItems, items.put_void()), S_OK);

    ASSERT_EQ(
        InvokeByName(server.get(), L"ClientName", DISPATCH_PROPERTYPUT, {VarBstr(L"plant engineer")}, result.get()),
        S_OK);
    UniqueBstr direct;
    ASSERT_EQ(server->get_ClientName(direct.put()), S_OK);
    EXPECT_STREQ(direct.get(), L"plant engineer");

    // Named arguments (VB6, Python, PowerShell): the member, then its parameters' positions.
    LPOLESTR names[] = {const_cast<LPOLESTR>(L"GetErrorString"), const_cast<LPOLESTR>(L"ErrorCode")};
    DISPID ids[2] = {0, 0};
    ASSERT_EQ(server->GetIDsOfNames(IID_NULL, names, 2, LOCALE_USER_DEFAULT, ids), S_OK);
    EXPECT_EQ(ids[0], 0x60020021);
    EXPECT_EQ(ids[1], 0) << "ErrorCode is the first parameter";
}

// The first calls of a process race to load the type information: threads
// released together must all see the whole name cache or none of it.
TEST(TypeInfoHolderRace, FirstCallsOnManyThreadsAllResolve) {
    ASSERT_HRESULT_SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED));
    const wchar_t* names[] = {L"OPCHDAItems",   L"ServerName", L"ClientName", L"LocaleID",
                              L"CreateBrowser", L"Connect",    L"Disconnect", L"GetErrorString"};
    TypeInfoHolder& holder = DispatchImpl<IOPCHDAAutoServer>::Holder();
    std::vector<DISPID> ids(std::size(names));
    for (size_t i = 0; i < std::size(names); ++i) {
        LPOLESTR name = const_cast<LPOLESTR>(names[i]);
        ASSERT_EQ(holder.GetIDsOfNames(IID_NULL, &name, 1, LOCALE_USER_DEFAULT, &ids[i]), S_OK) << names[i];
    }
    std::atomic<int> wrong{0};
    for (int round = 0; round < 60; ++round) {
        TypeInfoHolder::ReleaseAll(false);  // as in a fresh process
        std::atomic<bool> go{false};
        std::vector<std::thread> threads;
        for (int t = 0; t < 6; ++t) {
            threads.emplace_back([&, t] {
                CoInitializeEx(nullptr, COINIT_MULTITHREADED);
                while (!go.load()) {}
                for (int k = 0; k < 40; ++k) {
                    size_t i = (static_cast<size_t>(t) + k) % std::size(names);
                    LPOLESTR name = const_cast<LPOLESTR>(names[i]);
                    DISPID id = -1;
                    if (holder.GetIDsOfNames(IID_NULL, &name, 1, LOCALE_USER_DEFAULT, &id) != S_OK || id != ids[i])
                        ++wrong;
                }
                CoUninitialize();
            });
        }
        go = true;
        for (auto& thread : threads) thread.join();
    }
    EXPECT_EQ(wrong.load(), 0);
    CoUninitialize();
}

}  // namespace
