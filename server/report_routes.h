#pragma once

#include "server/options.h"
#include "server/routes.h"

namespace BL::Server {

// What the desktop client's diagnostics talk to: the crash report receiver and the update feeds,
// served from appcast/<platform>.xml under the data directory. With an admin token set, the
// operator lists the reports at /admin/reports (Authorization: Bearer <token>), each with the
// crashing thread's frames.
class CReportRoutes : public CRoutes
{
public:
    CReportRoutes(const SServiceOptions& options, CStore& store, CDurableDirectory& reports);

    void addTo(httplib::Server& http) override;

private:
    void receiveReport(const httplib::Request& req, httplib::Response& res);
    void appcast(const httplib::Request& req, httplib::Response& res);
    void listReports(const httplib::Request& req, httplib::Response& res);

    const SServiceOptions& m_options;
    CStore& m_store;
    CDurableDirectory& m_reports;
};

} // namespace BL::Server
