#pragma once
// Fakes of the host query and the token service: they answer with chosen
// values, can be told to fail, and record what they were asked.

#include <cstddef>
#include <cstdint>
#include <map>
#include <utility>
#include <vector>

#include "host/host_query.h"
#include "host/token_service.h"

enum class HostCall { Version, Architecture, ServerR2Metric, ProcessId };

// A host with a chosen version report, architecture code, SM_SERVERR2 value
// and process id. Defaults: an all-zero report, x64, metric 0.
class FakeHostQuery : public HostQuery {
 public:
  OsVersionReport version;
  bool versionFails = false;  // the version query fails: an all-zero report
  std::uint16_t architecture = 9;
  int serverR2Metric = 0;
  std::uint32_t processId = 4242;

  std::vector<HostCall> calls;  // every query, in the order made

  OsVersionReport QueryVersion() override {
    calls.push_back(HostCall::Version);
    return versionFails ? OsVersionReport{} : version;
  }
  std::uint16_t NativeArchitecture() override {
    calls.push_back(HostCall::Architecture);
    return architecture;
  }
  int ServerR2Metric() override {
    calls.push_back(HostCall::ServerR2Metric);
    return serverR2Metric;
  }
  std::uint32_t CurrentProcessId() override {
    calls.push_back(HostCall::ProcessId);
    return processId;
  }

  std::size_t CountOf(HostCall call) const {
    std::size_t count = 0;
    for (HostCall made : calls) count += made == call ? 1 : 0;
    return count;
  }
};

enum class TokenCall { Open, Lookup, Enable, LastError, Close };

// A token service whose every step can be made to fail. Each open hands out
// a fresh handle; closes are counted per handle.
class FakeTokenService : public TokenService {
 public:
  bool openSucceeds = true;
  bool lookupSucceeds = true;
  bool enableSucceeds = true;
  std::uint32_t lastError = 0;                   // what LastError() reports
  TokenHandle nextToken = 0x100;                 // handed out by the next open
  PrivilegeId debugPrivilege{20, 0};             // what the lookup finds

  std::vector<TokenCall> calls;                              // in the order made
  std::vector<std::pair<TokenHandle, PrivilegeId>> enabled;  // each adjustment's arguments
  std::map<TokenHandle, int> closes;                         // close count per handle

  bool OpenOwnToken(TokenHandle& token) override {
    calls.push_back(TokenCall::Open);
    if (!openSucceeds) return false;
    token = nextToken;
    nextToken += 4;
    return true;
  }
  bool LookupDebugPrivilege(PrivilegeId& id) override {
    calls.push_back(TokenCall::Lookup);
    if (!lookupSucceeds) return false;
    id = debugPrivilege;
    return true;
  }
  bool EnablePrivilege(TokenHandle token, const PrivilegeId& id) override {
    calls.push_back(TokenCall::Enable);
    enabled.emplace_back(token, id);
    return enableSucceeds;
  }
  std::uint32_t LastError() override {
    calls.push_back(TokenCall::LastError);
    return lastError;
  }
  void CloseToken(TokenHandle token) override {
    calls.push_back(TokenCall::Close);
    ++closes[token];
  }

  int ClosesOf(TokenHandle token) const {
    auto found = closes.find(token);
    return found == closes.end() ? 0 : found->second;
  }
  int TotalCloses() const {
    int total = 0;
    for (const auto& entry : closes) total += entry.second;
    return total;
  }
};
