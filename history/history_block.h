// The histories of one historian answer share one block of memory: the
// answer (the historian's array of structures, taken whole, never copied) and
// room for a history object per element. A read of 1,000 items thus makes one
// allocation where it made 1,000. Each history keeps its own COM identity
// and reference count; the block counts the histories alive in it (and its
// maker, while it puts them), and goes, freeing the answer, when the last of
// them is released, on whatever thread that happens.
#pragma once

#include <windows.h>

#include <variant>

#include "history/COPCHDAHistory.h"
#include "opc/historian_answers.h"

class HistoryBlock {
public:
    // A block that takes `answer` whole, with one use, its maker's; null
    // when memory cannot be had (`answer` is then left as it was).
    template <class Answer>
    static HistoryBlock* Make(HistorianAnswer<Answer>& answer) noexcept;

    // Writes a new history of element k into `element` (VT_DISPATCH, its only
    // reference). Each element once. E_OUTOFMEMORY for a count beyond a LONG.
    // The histories put count as uses only from HandOver on.
    HRESULT Put(size_t k, VARIANT& element) noexcept;
    // The maker's use becomes the uses of the `histories` it put, at once
    // (one count for a read, not one per history); none left: the block goes.
    void HandOver(LONG histories) noexcept;
    // A history alone in its block reads a copy of its own instead.
    template <class Answer>
    HRESULT Refill(COPCHDAHistory& history, HistorianAnswer<Answer>& copy) noexcept;

    void DropUse() noexcept;

private:
    using AnyAnswer = std::variant<HistorianAnswer<OPCHDA_ITEM>, HistorianAnswer<OPCHDA_MODIFIEDITEM>,
                                   HistorianAnswer<OPCHDA_ATTRIBUTE>, HistorianAnswer<OPCHDA_ANNOTATION>>;
    HistoryBlock(AnyAnswer&& answer, size_t slots) noexcept;
    ~HistoryBlock();
    // Room for the block and `slots` histories; null when it cannot be had.
    static void* Allocate(size_t slots) noexcept;
    COPCHDAHistory* Slot(size_t k) noexcept;

    LONG uses_ = 1;
    const size_t slots_;
    AnyAnswer answer_;
};
