#pragma once

namespace platform
{
// Whether this Windows program runs under Wine (recognised by ntdll's
// wine_get_version, which real Windows lacks); false on every other system.
bool runningUnderWine();
} // namespace platform
