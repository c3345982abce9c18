#pragma once
// smdgw's exit statuses, shared by the gateway and its subcommands.

namespace smdgw {

constexpr int kExitOk = 0;
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

}  // namespace smdgw
