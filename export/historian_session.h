// The historian as the export reads it: created by ProgID on this computer or
// a named node, its item handles, and the texts of its result codes.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "com/com_holders.h"
#include "opc_hda.h"

// What a call gives when the historian called it a success but left out an
// array of its answer (a code the historian itself never answers).
constexpr HRESULT kIncompleteAnswer = E_UNEXPECTED;

class HistorianSession {
public:
    HistorianSession() = default;
    HistorianSession(const HistorianSession&) = delete;
    HistorianSession& operator=(const HistorianSession&) = delete;
    // Gives back the item handles the session was granted.
    ~HistorianSession();

    // Creates the historian (node empty: this computer) and takes its
    // IOPCHDA_SyncRead. The first failure is the result.
    HRESULT Connect(const std::wstring& progID, const std::wstring& node);
    // The same with a historian the caller created.
    HRESULT Attach(IUnknown* historian);

    // Server handles for the items, one code per item (a failed item's handle
    // is 0); kIncompleteAnswer for a success without its arrays.
    HRESULT AddItems(const std::vector<std::wstring>& itemIDs, std::vector<OPCHANDLE>* handles,
                     std::vector<HRESULT>* errors);

    // The catalogue of item attributes: numbers and names, in its order.
    struct Attribute {
        DWORD id;
        std::wstring name;
    };
    HRESULT Attributes(std::vector<Attribute>* attributes) const;

    IOPCHDA_SyncRead* SyncRead() const { return syncRead_.get(); }
    // Null when the historian keeps no annotations.
    IOPCHDA_SyncAnnotations* SyncAnnotations() const { return syncAnnotations_.get(); }

    // "OPC_E_UNKNOWNITEMID: <the historian's text>", or the system's text, or
    // whichever of the two exists; without the code's name for other codes.
    std::string ErrorText(HRESULT code) const;

private:
    ComPtr<IOPCHDA_Server> server_;
    ComPtr<IOPCHDA_SyncRead> syncRead_;
    ComPtr<IOPCHDA_SyncAnnotations> syncAnnotations_;
    ComPtr<IOPCCommon> common_;
    std::vector<OPCHANDLE> granted_;
};

// The system's message for a code (no trailing line break); empty if it has none.
std::string SystemErrorText(HRESULT code);
