// Late binding as scripting hosts use it: names to DISPIDs through the name
// cache and the type information, and invocation through the type library.
#include <atomic>
#include <thread>
#include <vector>

#include "module/type_info_holder.h"
#include "support/com_test.h"

using namespace comtest;

namespace {

class DispatchTest : public ComTest {
protected:
    void SetUp() override {
        ComTest::SetUp();
        ASSERT_HRESULT_SUCCEEDED(CreateServer(server_));
        ASSERT_HRESULT_SUCCEEDED(server_->QueryInterface(IID_IDispatch, dispatch_.put_void()));
    }
    void TearDown() override {
        dispatch_ = nullptr;
        server_ = nullptr;
        ComTest::TearDown();
    }
    DISPID IdOf(IDispatch* object, const wchar_t* name, HRESULT expected = S_OK) {
        DISPID id = 12345;
        LPOLESTR names[] = {const_cast<LPOLESTR>(name)};
        EXPECT_EQ(object->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id), expected) << name;
        return id;
    }
    ComPtr<IOPCHDAAutoServer> server_;
    ComPtr<IDispatch> dispatch_;
};

TEST_F(DispatchTest, IDispatchIsTheServerInterface) {
    EXPECT_EQ(static_cast<IUnknown*>(dispatch_.get()), static_cast<IUnknown*>(server_.get()));
    UINT count = 0;
    EXPECT_EQ(dispatch_->GetTypeInfoCount(&count), S_OK);
    EXPECT_EQ(count, 1u);
    ComPtr<ITypeInfo> info;
    ASSERT_EQ(dispatch_->GetTypeInfo(0, LOCALE_USER_DEFAULT, info.put()), S_OK);
    EXPECT_EQ(dispatch_->GetTypeInfo(1, LOCALE_USER_DEFAULT, info.put()), DISP_E_BADINDEX);
}

TEST_F(DispatchTest, NamesResolveExactlyAndInOtherCase) {
    EXPECT_EQ(IdOf(dispatch_.get(), L"OPCHDAItems"), 0);
    EXPECT_EQ(IdOf(dispatch_.get(), L"opchdaitems"), 0);
    EXPECT_EQ(IdOf(dispatch_.get(), L"ServerName"), 0x60020009);
    EXPECT_EQ(IdOf(dispatch_.get(), L"SERVERNAME"), 0x60020009);
    EXPECT_EQ(IdOf(dispatch_.get(), L"ClientName"), 0x6002000B);
    EXPECT_EQ(IdOf(dispatch_.get(), L"LocaleID"), 0x6002000D);
    EXPECT_EQ(IdOf(dispatch_.get(), L"CreateBrowser"), 0x60020025);
    IdOf(dispatch_.get(), L"NoSuchMember", DISP_E_UNKNOWNNAME);
}

TEST_F(DispatchTest, DefaultMemberIsTheItemsCollection) {
    UniqueVariant result;
    DISPPARAMS none{nullptr, nullptr, 0, 0};
    ASSERT_EQ(dispatch_->Invoke(0, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_PROPERTYGET, &none, result.get(), nullptr,
                                nullptr),
              S_OK);
    ASSERT_EQ(result->vt, VT_DISPATCH);
    ComPtr<IOPCHDAItems> items;
    ASSERT_EQ(result->pdispVal->QueryInterface(IID_IOPCHDAItems, items.put_void()), S_OK);
    ComPtr<IUnknown> a, b;
    server_->QueryInterface(IID_IUnknown, a.put_void());
    items->QueryInterface(IID_IUnknown, b.put_void());
    EXPECT_EQ(a.get(), b.get()) << "the collection is the server object itself";

    UniqueVariant count;
    ASSERT_EQ(GetProperty(result->pdispVal, L"Count", count.get()), S_OK);
    EXPECT_EQ(count->vt, VT_I4);
    EXPECT_EQ(count->lVal, 0);
    EXPECT_EQ(IdOf(result->pdispVal, L"_NewEnum"), DISPID_NEWENUM);
    EXPECT_EQ(IdOf(result->pdispVal, L"Item"), DISPID_VALUE);
}

TEST_F(DispatchTest, ClientNameSharesOneDispidForPutAndGet) {
    UniqueVariant ignored;
    VARIANT name = VarBstr(L"plant engineer");
    DISPID put = DISPID_PROPERTYPUT;
    DISPPARAMS params{&name, &put, 1, 1};
    ASSERT_EQ(dispatch_->Invoke(0x6002000B, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_PROPERTYPUT, &params, ignored.get(),
                                nullptr, nullptr),
              S_OK);
    VariantClear(&name);
    UniqueVariant got;
    ASSERT_EQ(GetProperty(dispatch_.get(), L"ClientName", got.get()), S_OK);
    ASSERT_EQ(got->vt, VT_BSTR);
    EXPECT_STREQ(got->bstrVal, L"plant engineer");
    UniqueBstr direct;
    ASSERT_EQ(server_->get_ClientName(direct.put()), S_OK);
    EXPECT_STREQ(direct.get(), L"plant engineer");
}

TEST_F(DispatchTest, NamesAreEmptyStringsBeforeConnecting) {
    for (const wchar_t* name : {L"ServerName", L"ServerNode", L"ClientName"}) {
        UniqueVariant value;
        ASSERT_EQ(GetProperty(dispatch_.get(), name, value.get()), S_OK) << name;
        ASSERT_EQ(value->vt, VT_BSTR) << name;
        ASSERT_NE(value->bstrVal, nullptr) << name << " must be empty, not null";
        EXPECT_EQ(SysStringLen(value->bstrVal), 0u) << name;
    }
}

TEST_F(DispatchTest, CallersOfAnotherLanguageReachTheLibrary) {
    // The library is registered for US English; a German host must still bind.
    DISPID id = 0;
    LPOLESTR names[] = {const_cast<LPOLESTR>(L"ServerName")};
    ASSERT_EQ(dispatch_->GetIDsOfNames(IID_NULL, names, 1, MAKELCID(0x0407, SORT_DEFAULT), &id), S_OK);
    EXPECT_EQ(id, 0x60020009);
}

TEST_F(DispatchTest, InvokeRejectsForeignInterfaceIds) {
    UniqueVariant result;
    DISPPARAMS none{nullptr, nullptr, 0, 0};
    EXPECT_EQ(dispatch_->Invoke(0, IID_IUnknown, LOCALE_USER_DEFAULT, DISPATCH_PROPERTYGET, &none, result.get(),
                                nullptr, nullptr),
              DISP_E_UNKNOWNINTERFACE);
}

// The first calls of a process race to load the type information: threads
// released together must all see the whole name cache or none of it, never a
// half-built one. The holder is emptied between rounds, as in a fresh process.
TEST(TypeInfoHolderRace, FirstCallsOnManyThreadsAllResolve) {
    ASSERT_HRESULT_SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED));
    const wchar_t* names[] = {L"OPCHDAItems", L"ServerName",     L"ClientName",
                              L"LocaleID",    L"CreateBrowser",  L"Connect",
                              L"Disconnect",  L"GetErrorString", L"CanAsyncInsertAnnotations"};
    const DISPID expected[] = {0, 0x60020009, 0x6002000B, 0x6002000D, 0x60020025};
    TypeInfoHolder& holder = DispatchImpl<IOPCHDAAutoServer>::Holder();
    std::vector<DISPID> ids(std::size(names));
    for (size_t i = 0; i < std::size(names); ++i) {
        LPOLESTR name = const_cast<LPOLESTR>(names[i]);
        ASSERT_EQ(holder.GetIDsOfNames(IID_NULL, &name, 1, LOCALE_USER_DEFAULT, &ids[i]), S_OK) << names[i];
    }
    for (size_t i = 0; i < std::size(expected); ++i) EXPECT_EQ(ids[i], expected[i]) << names[i];

    std::atomic<int> wrong{0};
    for (int round = 0; round < 60; ++round) {
        TypeInfoHolder::ReleaseAll(false);
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
