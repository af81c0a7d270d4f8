#include "replies/ReplyCodes.h"

namespace {

ReplyCode StepCode(ReplyCode first, int step)
{
    return static_cast<ReplyCode>(static_cast<int>(first) + step);
}

} // namespace

ReplyCode StepLevelCode(int step)
{
    return StepCode(ReplyCode::StepLevelFirst, step);
}

ReplyCode StepCompareCode(int step)
{
    return StepCode(ReplyCode::StepCompareFirst, step);
}

int CodeNumber(ReplyCode code)
{
    return static_cast<int>(code);
}

bool IsOptionalAnswer(ReplyCode code)
{
    return code == ReplyCode::Identity;
}
