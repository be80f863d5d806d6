#pragma once

#include "server/options.h"
#include "server/routes.h"

#include <string>

namespace BL::Server {

class CDiskQuota;

// What the desktop client's diagnostics talk to: the crash report receiver and the update feeds,
// served from appcast/<platform>.xml under the data directory, or, where the operator put none,
// a feed announcing the service's own build. With an admin token set, the operator lists the
// reports at /admin/reports (Authorization: Bearer <token>), each with the crashing thread's
// frames.
class CReportRoutes : public CRoutes
{
public:
    CReportRoutes(const SServiceOptions& options, CStore& store, CObjectStore& reports, CDiskQuota& quota,
                  const std::string& publicUrl);

    void addTo(CHttpServer& http) override;

private:
    void receiveReport(const SHttpRequest& req, SHttpResponse& res);
    void appcast(const SHttpRequest& req, SHttpResponse& res);
    void listReports(const SHttpRequest& req, SHttpResponse& res);

    const SServiceOptions& m_options;
    CStore& m_store;
    CObjectStore& m_reports;
    CDiskQuota& m_quota;
    const std::string& m_publicUrl; // set once the service listens
};

} // namespace BL::Server
