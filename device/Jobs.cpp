#include "device/Jobs.h"
#include "device/SysexCodec.h"
#include <type_traits>

namespace jobs
{
namespace
{
template <typename Kind, typename = void> struct MovesBytes : std::false_type
{
};
template <typename Kind>
struct MovesBytes<Kind, std::void_t<decltype(std::declval<const Kind&>().weight())>> : std::true_type
{
};
} // namespace

const char* name(const OperationRecord& job)
{
    return std::visit([](const auto& kind) { return std::decay_t<decltype(kind)>::name; }, job);
}

void start(Communication& link, const OperationRecord& job)
{
    std::visit([&link](const auto& kind) { kind.start(link); }, job);
}

bool writesFlash(const OperationRecord& job)
{
    return is<EraseFromFile>(job) || is<EraseForBuffer>(job) || is<ProgramFromFile>(job) ||
           is<ProgramFromBuffer>(job);
}

double weight(const OperationRecord& job)
{
    return std::visit(
        [](const auto& kind) -> double
        {
            if constexpr (MovesBytes<std::decay_t<decltype(kind)>>::value)
                return kind.weight();
            else
                return sysex::kBlockSize;
        },
        job);
}
} // namespace jobs
