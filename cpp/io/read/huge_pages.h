// The memory a large batch is read into.
#pragma once

#include <cstddef>
#include <span>

namespace quandrel::io {

// Asks for huge pages under a large, freshly allocated output, before it is
// first written. Writing a fresh buffer costs a page fault per 4 KiB page,
// which for a batch of many megabytes costs more than copying the rows; with
// huge pages it costs one per 2 MiB. Only the whole huge pages inside
// `output` are advised; nothing else of the allocation is touched. Smaller
// outputs are left alone. A refusal (no huge pages here) changes nothing.
void advise_huge_pages(std::span<std::byte> output) noexcept;

}  // namespace quandrel::io
