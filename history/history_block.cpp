#include "history/history_block.h"

#include <climits>
#include <cstdint>
#include <new>
#include <utility>

#include "automation/client_arrays.h"
#include "com/module_count.h"

namespace {

// Where the histories start: right after the block, aligned for them.
constexpr size_t kSlotsOffset =
    (sizeof(HistoryBlock) + alignof(COPCHDAHistory) - 1) / alignof(COPCHDAHistory) * alignof(COPCHDAHistory);

// Whether a history can hold the element: Count is a LONG. The arrays' sizes
// are asked only for a count that claims more.
bool Holdable(const HistoryView& view) {
    return view.count <= static_cast<DWORD>(LONG_MAX) || WalkableCount(view) <= static_cast<DWORD>(LONG_MAX);
}

}  // namespace

void* HistoryBlock::Allocate(size_t slots) noexcept {
    if (slots > (SIZE_MAX - kSlotsOffset) / sizeof(COPCHDAHistory)) return nullptr;
    return ::operator new(kSlotsOffset + slots * sizeof(COPCHDAHistory), std::nothrow);
}

template <class Answer>
HistoryBlock* HistoryBlock::Make(HistorianAnswer<Answer>& answer) noexcept {
    const size_t slots = answer.count();
    void* storage = Allocate(slots);
    return storage ? new (storage) HistoryBlock(AnyAnswer(std::move(answer)), slots) : nullptr;
}

HistoryBlock::HistoryBlock(AnyAnswer&& answer, size_t slots) noexcept : slots_(slots), answer_(std::move(answer)) {
    ComModule::ObjectCreated();
}

HistoryBlock::~HistoryBlock() { ComModule::ObjectDestroyed(); }

COPCHDAHistory* HistoryBlock::Slot(size_t k) noexcept {
    return reinterpret_cast<COPCHDAHistory*>(reinterpret_cast<char*>(this) + kSlotsOffset) + k;
}

void HistoryBlock::DropUse() noexcept { HandOver(0); }

HRESULT HistoryBlock::Put(size_t k, VARIANT& element) noexcept {
    COPCHDAHistory* history = std::visit(
        [this, k](const auto& answer) {
            return Holdable(ViewOf(answer[k])) ? new (Slot(k)) COPCHDAHistory(this, answer[k]) : nullptr;
        },
        answer_);
    if (!history) return E_OUTOFMEMORY;
    // Its first reference, taken directly: a query of a history the library
    // just made would only cost a read of a thousand items its time.
    history->TakeFirstReference();
    V_VT(&element) = VT_DISPATCH;
    V_DISPATCH(&element) = static_cast<OPCHDAHistory*>(history);
    return S_OK;
}

void HistoryBlock::HandOver(LONG histories) noexcept {
    if (InterlockedExchangeAdd(&uses_, histories - 1) + histories - 1 != 0) return;
    this->~HistoryBlock();  // the answer goes with it
    ::operator delete(this);
}

template <class Answer>
HRESULT HistoryBlock::Refill(COPCHDAHistory& history, HistorianAnswer<Answer>& copy) noexcept {
    if (slots_ != 1) return E_UNEXPECTED;  // the others read the answer it would replace
    if (!Holdable(ViewOf(copy[0]))) return E_OUTOFMEMORY;
    history.Read(copy[0]);  // the element stays where it is when its holder moves
    answer_ = std::move(copy);
    return S_OK;
}

void COPCHDAHistory::Dispose(COPCHDAHistory* history) {
    HistoryBlock* block = history->block_;
    history->~COPCHDAHistory();
    block->DropUse();
}

template <class Answer>
HRESULT PutHistories(HistorianAnswer<Answer>& answer, const HRESULT* codes, VARIANT* elements) {
    const size_t n = answer.count();
    HistoryBlock* block = nullptr;  // made for the first history: a read that found nothing makes none
    HRESULT result = S_OK;
    LONG made = 0;  // none of them can be released before they are counted: none is handed out yet
    for (size_t k = 0; k < n; ++k) {
        if (FAILED(codes[k])) continue;
        if (!block && !(block = HistoryBlock::Make(answer))) return E_OUTOFMEMORY;
        if (HRESULT hr = block->Put(k, elements[k]); FAILED(hr))
            result = hr;
        else
            ++made;
    }
    if (block) block->HandOver(made);
    return result;
}

template <class Answer>
HRESULT MakeHistoryArray(HistorianAnswer<Answer>& answer, const HRESULT* codes, UniqueSafeArray& values) {
    const size_t n = answer.count();
    HRESULT hr = client_arrays::FillResultArray<VARIANT>(VT_VARIANT, n, values, [](VARIANT&, size_t) { return S_OK; });
    if (FAILED(hr) || n == 0) return hr;
    {
        SafeArrayData<VARIANT> elements(values.get());
        hr = elements ? PutHistories(answer, codes, elements.get()) : E_FAIL;
    }
    if (FAILED(hr)) values.reset();
    return hr;
}

#define HISTORY_BLOCK_ANSWER(Answer)                                                                   \
    template HRESULT PutHistories(HistorianAnswer<Answer>&, const HRESULT*, VARIANT*);                 \
    template HRESULT MakeHistoryArray(HistorianAnswer<Answer>&, const HRESULT*, UniqueSafeArray&);     \
    template HRESULT HistoryBlock::Refill(COPCHDAHistory&, HistorianAnswer<Answer>&) noexcept;
HISTORY_BLOCK_ANSWER(OPCHDA_ITEM)
HISTORY_BLOCK_ANSWER(OPCHDA_MODIFIEDITEM)
HISTORY_BLOCK_ANSWER(OPCHDA_ATTRIBUTE)
HISTORY_BLOCK_ANSWER(OPCHDA_ANNOTATION)
