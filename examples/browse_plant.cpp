// A C++ client of the automation server: walks the simulated plant with an
// OPCHDABrowser and prints it as an indented tree, then creates a filtered
// browser for every temperature signal, resolves each leaf to its item ID and
// reads its latest value.
//   wine browse_plant.exe [ProgID]      (default Sim.HdaHistorian)
#include <windows.h>
#include <oleauto.h>

#include <cstdio>
#include <string>
#include <vector>

#include "OPCHDAAuto.h"
#include "com/com_holders.h"

namespace {

bool Check(HRESULT hr, const char* what) {
    if (SUCCEEDED(hr)) return true;
    std::printf("%s failed: 0x%08lX\n", what, static_cast<unsigned long>(hr));
    return false;
}

// The texts of a listing (a VT_ARRAY|VT_BSTR with lower bound 1).
std::vector<std::wstring> Names(const VARIANT& listing) {
    std::vector<std::wstring> names;
    if (listing.vt != (VT_ARRAY | VT_BSTR)) return names;
    LONG lower = 1, upper = 0;
    SafeArrayGetLBound(listing.parray, 1, &lower);
    SafeArrayGetUBound(listing.parray, 1, &upper);
    for (LONG i = lower; i <= upper; ++i) {
        UniqueBstr name;
        SafeArrayGetElement(listing.parray, &i, name.put());
        names.push_back(name ? name.get() : L"");
    }
    return names;
}

std::vector<std::wstring> Branches(OPCHDABrowser* browser) {
    UniqueVariant listing;
    return SUCCEEDED(browser->get_OPCHDABranches(listing.get())) ? Names(*listing.get()) : std::vector<std::wstring>{};
}

std::vector<std::wstring> Leaves(OPCHDABrowser* browser) {
    UniqueVariant listing;
    return SUCCEEDED(browser->get_OPCHDALeaves(listing.get())) ? Names(*listing.get()) : std::vector<std::wstring>{};
}

// The leaves of a position on one line; long lists (the utilities' meters) summarised.
std::string LeafSummary(const std::vector<std::wstring>& leaves) {
    if (leaves.empty()) return "";
    std::string line = "  [" + std::to_string(leaves.size()) + (leaves.size() == 1 ? " leaf: " : " leaves: ");
    auto add = [&line](const std::wstring& name) {
        int n = WideCharToMultiByte(CP_UTF8, 0, name.c_str(), -1, nullptr, 0, nullptr, nullptr);
        std::string text(n > 0 ? n - 1 : 0, '\0');
        if (n > 1) WideCharToMultiByte(CP_UTF8, 0, name.c_str(), -1, text.data(), n, nullptr, nullptr);
        line += text;
    };
    for (size_t i = 0; i < leaves.size(); ++i) {
        if (leaves.size() > 8 && i == 2) {
            line += "... ";
            i = leaves.size() - 1;
        }
        add(leaves[i]);
        if (i + 1 < leaves.size()) line += ", ";
    }
    return line + "]";
}

// Prints the branches below the browser's position, each with its leaves,
// and moves back up after each.
void PrintTree(OPCHDABrowser* browser, int depth) {
    const std::string indent(static_cast<size_t>(depth) * 2, ' ');
    for (const std::wstring& branch : Branches(browser)) {
        UniqueBstr name(branch.c_str());
        if (FAILED(browser->MoveDown(name.get()))) continue;
        std::printf("%s%ls/%s\n", indent.c_str(), branch.c_str(), LeafSummary(Leaves(browser)).c_str());
        PrintTree(browser, depth + 1);
        browser->MoveUp();
    }
}

// Every item ID below the browser's position.
void CollectItems(OPCHDABrowser* browser, std::vector<std::wstring>& itemIDs) {
    for (const std::wstring& leaf : Leaves(browser)) {
        UniqueBstr name(leaf.c_str()), itemID;
        if (SUCCEEDED(browser->GetItemID(name.get(), itemID.put()))) itemIDs.push_back(itemID.get());
    }
    for (const std::wstring& branch : Branches(browser)) {
        UniqueBstr name(branch.c_str());
        if (FAILED(browser->MoveDown(name.get()))) continue;
        CollectItems(browser, itemIDs);
        browser->MoveUp();
    }
}

VARIANT Text(const wchar_t* text) {
    VARIANT v;
    VariantInit(&v);
    v.vt = VT_BSTR;
    v.bstrVal = SysAllocString(text);
    return v;
}

// The newest value: one value, read backwards from now.
void PrintLatest(IOPCHDAItems* items, const std::wstring& itemID, LONG clientHandle) {
    ComPtr<OPCHDAItem> item;
    UniqueBstr id(itemID.c_str());
    if (!Check(items->AddItem(id.get(), clientHandle, item.put()), "AddItem")) return;
    UniqueVariant start, end, history;
    *start.get() = Text(L"NOW");
    *end.get() = Text(L"NOW-1H");
    HRESULT hr = item->ReadRaw(start.get(), end.get(), 1, 0, history.get());
    ComPtr<OPCHDAHistory> values;
    if (SUCCEEDED(hr) && history->vt == VT_DISPATCH)
        hr = history->pdispVal->QueryInterface(IID_OPCHDAHistory, values.put_void());
    ComPtr<OPCHDAValue> latest;
    UniqueVariant first, value;
    first->vt = VT_I4;
    first->lVal = 1;
    if (SUCCEEDED(hr)) hr = values->Item(*first.get(), latest.put());
    if (SUCCEEDED(hr)) hr = latest->get_DataValue(value.get());
    if (SUCCEEDED(hr)) hr = VariantChangeType(value.get(), value.get(), 0, VT_BSTR);
    if (SUCCEEDED(hr))
        std::printf("  %-40ls %ls\n", itemID.c_str(), value->bstrVal);
    else
        std::printf("  %-40ls (no value: 0x%08lX)\n", itemID.c_str(), static_cast<unsigned long>(hr));
}

int Run(const wchar_t* progID) {
    CLSID clsid;
    ComPtr<IOPCHDAAutoServer> server;
    HRESULT hr = CLSIDFromProgID(L"OPCHDA.Automation", &clsid);
    if (SUCCEEDED(hr))
        hr = CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IOPCHDAAutoServer, server.put_void());
    UniqueVariant node;
    UniqueBstr name(progID);
    if (!Check(hr, "Creating OPCHDA.Automation") || !Check(server->Connect(name.get(), *node.get()), "Connect"))
        return 1;

    VARIANT omitted;
    VariantInit(&omitted);
    omitted.vt = VT_ERROR;
    omitted.scode = DISP_E_PARAMNOTFOUND;
    ComPtr<OPCHDABrowser> browser;
    if (!Check(server->CreateBrowser(0, omitted, omitted, omitted, nullptr, browser.put()), "CreateBrowser")) return 1;
    std::printf("The plant of %ls:\n", progID);
    PrintTree(browser.get(), 1);

    // Every temperature signal: the item ID ending in "Temperature".
    SAFEARRAYBOUND one{1, 1};
    UniqueVariant attributes, operators, filters, errors;
    attributes->vt = operators->vt = VT_ARRAY | VT_I4;
    filters->vt = VT_ARRAY | VT_VARIANT;
    attributes->parray = SafeArrayCreate(VT_I4, 1, &one);
    operators->parray = SafeArrayCreate(VT_I4, 1, &one);
    filters->parray = SafeArrayCreate(VT_VARIANT, 1, &one);
    LONG index = 1, attribute = OPCHDAItemID, op = OPCHDAEqual;
    UniqueVariant pattern;
    *pattern.get() = Text(L"*Temperature");
    SafeArrayPutElement(attributes->parray, &index, &attribute);
    SafeArrayPutElement(operators->parray, &index, &op);
    SafeArrayPutElement(filters->parray, &index, pattern.get());
    ComPtr<OPCHDABrowser> temperatures;
    if (!Check(server->CreateBrowser(1, *attributes.get(), *operators.get(), *filters.get(), errors.get(),
                                     temperatures.put()),
               "CreateBrowser with a filter"))
        return 1;
    std::vector<std::wstring> itemIDs;
    CollectItems(temperatures.get(), itemIDs);
    std::printf("Temperature signals: %zu\n", itemIDs.size());

    ComPtr<IOPCHDAItems> items;
    if (!Check(server->get_OPCHDAItems(items.put()), "OPCHDAItems")) return 1;
    LONG clientHandle = 1;
    for (const std::wstring& itemID : itemIDs) PrintLatest(items.get(), itemID, clientHandle++);
    server->Disconnect();
    std::printf("DONE\n");
    return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (FAILED(CoInitializeEx(nullptr, COINIT_MULTITHREADED))) return 1;
    int status = Run(argc > 1 ? argv[1] : L"Sim.HdaHistorian");
    CoUninitialize();
    return status;
}
