// The JSON API's view of the port: the pages' port access, with the counts and the open
// failure's reason that the status and the open answer show.
#pragma once

#include <functional>
#include <string>

#include "app/port_access.h"
#include "app/port_report.h"
#include "app/receive_pump.h"
#include "webfront/api_port.h"

namespace orvelle::app {

class ApiPortAccess final : public webfront::ApiPort {
 public:
  // `default_port` names the demo device, if any, as it is at the moment of asking.
  ApiPortAccess(PortAccess& access, PortReport& report, const ReceivePump& pump,
                std::function<std::string()> default_port)
      : access_(access), report_(report), pump_(pump), default_port_(std::move(default_port)) {}

  webfront::PortFacts Facts() override;
  std::string Open(const script::SerialAccess::OpenRequest& request) override;
  bool Close() override { return access_.ClosePort(); }
  QueryOutcome Send(std::string_view bytes, std::size_t& written) override {
    return access_.Write(bytes, written);
  }
  QueryOutcome Query(const script::SerialAccess::QueryRequest& request, std::stop_token stop,
                     script::SerialAccess::QueryReply& reply) override {
    return access_.Query(request, std::move(stop), reply);
  }
  std::string DefaultPort() override { return default_port_ ? default_port_() : std::string(); }

 private:
  PortAccess& access_;
  PortReport& report_;
  const ReceivePump& pump_;
  std::function<std::string()> default_port_;
};

}  // namespace orvelle::app
