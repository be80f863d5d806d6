#include "diagnostics/crashhelper/reportsender.h"

#include "diagnostics/crashreportresult.h"

#include <curl/curl.h>
#include <memory>

namespace BL::CrashHelper {

namespace {

std::size_t collectReply(char* data, std::size_t size, std::size_t count, void* reply)
{
    static_cast<std::string*>(reply)->append(data, size * count);
    return size * count;
}

} // namespace

SSendOutcome sendCrashReport(const std::string& url,
                             const std::vector<std::pair<std::string, std::string>>& parameters,
                             const std::string& dumpPath, long connectSeconds, long totalSeconds)
{
    SSendOutcome outcome;
    outcome.result = RESULT_FAILED;
    if (curl_global_init(CURL_GLOBAL_DEFAULT) != CURLE_OK) {
        outcome.reportCode = "network library unavailable";
        return outcome;
    }
    std::unique_ptr<CURL, void (*)(CURL*)> curl(curl_easy_init(), curl_easy_cleanup);
    if (!curl) {
        outcome.reportCode = "network library unavailable";
        return outcome;
    }
    std::unique_ptr<curl_mime, void (*)(curl_mime*)> form(curl_mime_init(curl.get()), curl_mime_free);
    for (const auto& parameter : parameters) {
        curl_mimepart* part = curl_mime_addpart(form.get());
        curl_mime_name(part, parameter.first.c_str());
        curl_mime_data(part, parameter.second.c_str(), parameter.second.size());
    }
    curl_mimepart* dump = curl_mime_addpart(form.get());
    curl_mime_name(dump, "upload_file_minidump");
    if (curl_mime_filedata(dump, dumpPath.c_str()) != CURLE_OK) {
        outcome.reportCode = "cannot read " + dumpPath;
        return outcome;
    }
    curl_mime_type(dump, "application/octet-stream");

    std::string reply;
    char error[CURL_ERROR_SIZE] = {};
    curl_easy_setopt(curl.get(), CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl.get(), CURLOPT_MIMEPOST, form.get());
    curl_easy_setopt(curl.get(), CURLOPT_CONNECTTIMEOUT, connectSeconds);
    curl_easy_setopt(curl.get(), CURLOPT_TIMEOUT, totalSeconds);
    curl_easy_setopt(curl.get(), CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl.get(), CURLOPT_USERAGENT, "Brightloom crash reporter");
    curl_easy_setopt(curl.get(), CURLOPT_ERRORBUFFER, error);
    curl_easy_setopt(curl.get(), CURLOPT_WRITEFUNCTION, collectReply);
    curl_easy_setopt(curl.get(), CURLOPT_WRITEDATA, &reply);
    // The reply is a short report code; anything longer is not ours.
    curl_easy_setopt(curl.get(), CURLOPT_MAXFILESIZE, 65536L);
    const CURLcode code = curl_easy_perform(curl.get());
    if (code != CURLE_OK) {
        outcome.reportCode = error[0] ? error : curl_easy_strerror(code);
        return outcome;
    }
    long status = 0;
    curl_easy_getinfo(curl.get(), CURLINFO_RESPONSE_CODE, &status);
    outcome.reportCode = reply;
    outcome.result = status >= 200 && status < 300 ? RESULT_SUCCEEDED : RESULT_REJECTED;
    return outcome;
}

} // namespace BL::CrashHelper
