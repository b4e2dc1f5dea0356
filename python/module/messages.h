// Texts of the Python surface. Callers match them verbatim.
#pragma once

namespace quandrel::py::msg {

inline constexpr char kNoExceptionSet[] = "attempted to fetch exception but none was set";
inline constexpr char kSubinterpreters[] =
    "the quandrel._quandrel module does not support sub-interpreters";
inline constexpr char kCannotReinitialize[] =
    "the quandrel._quandrel module cannot register its cleanup at interpreter finalization";
inline constexpr char kStrToVec[] = "Can't extract `str` to `Vec`";
inline constexpr char kOutOfRangeIntegral[] = "out of range integral type conversion attempted";
inline constexpr char kOnlyQwenV1[] = "only PLE_QWEN_V1=1 is implemented";
inline constexpr char kPageSizePowerOfTwo[] = "page_size must be a positive power of two";
inline constexpr char kSameLength[] = "file_descriptors and offsets must have the same length";
// Completed with the type path, e.g. "_quandrel::View".
inline constexpr char kUnsendableSent[] = " is unsendable, but sent to another thread";
inline constexpr char kUnsendableDropped[] = " is unsendable, but is being dropped on another thread";
inline constexpr char kFaultDoc[] =
    "An internal invariant was violated. Derives from BaseException, so that "
    "`except Exception` does not swallow it.";

}  // namespace quandrel::py::msg
