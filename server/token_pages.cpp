#include "server/token_pages.h"

#include "server/pages.h"
#include "server/util.h"

#include <cctype>

namespace BL::Server {

namespace {

std::string backToHistory()
{
    return "<p><a href=\"/user/history\">Back to your uploads</a></p>";
}

} // namespace

std::string tokensSection(const std::vector<SApiToken>& tokens, const std::string& formToken)
{
    std::string body =
        "<div class=\"card\"><h2>Upload tokens</h2><p class=\"muted\">Other programs upload to "
        "your account with a token: make one for each, and revoke it when that program "
        "should no longer upload.</p>";
    if (!tokens.empty()) {
        body += "<ul class=\"history\">";
        for (const SApiToken& token : tokens) {
            body += "<li>" + htmlEscape(token.name) + " &middot; made " +
                    htmlEscape(formatUtc(token.createdMs)) + " &middot; " +
                    (token.usedMs ? "last used " + htmlEscape(formatUtc(token.usedMs))
                                  : std::string("never used")) +
                    "<form method=\"post\" action=\"/user/tokens/revoke\" class=\"delete\">" +
                    tokenInput(formToken) + "<input type=\"hidden\" name=\"id\" value=\"" +
                    std::to_string(token.id) + "\"><button type=\"submit\">Revoke " + htmlEscape(token.name) +
                    "</button></form></li>";
        }
        body += "</ul>";
    }
    body +=
        "<form method=\"post\" action=\"/user/tokens\">" + tokenInput(formToken) +
        "<label for=\"token-name\">Name of the new token</label>"
        "<input type=\"text\" id=\"token-name\" name=\"name\" maxlength=\"64\" placeholder=\"Upload token\">"
        "<div><button type=\"submit\">Make a token</button></div></form></div>";
    return body;
}

std::string tokenMadePage(const std::string& name, const std::string& token, const std::string& uploaderJson)
{
    // A data address keeps the page free of scripts and the token out of any later request.
    const std::string file = "data:application/json;charset=utf-8," + percentEncodeAll(uploaderJson);
    std::string fileName;
    for (const char c : name)
        fileName += std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '_' ? c : '-';
    return pageLayout(
        "Upload token made",
        "<div class=\"card\"><h1>Upload token made</h1><p>This is the token <b>" + htmlEscape(name) +
            "</b>. It is shown only now: copy it or download the uploader file before you leave this "
            "page.</p>"
            "<p><code class=\"token\">" +
            htmlEscape(token) + "</code></p><p><a href=\"" + htmlEscape(file) + "\" download=\"" +
            htmlEscape(fileName.empty() ? std::string("brightloom") : fileName) +
            ".sxcu\">Download the uploader file</a> for Brightloom or any program that reads custom-uploader "
            "files.</p>" +
            backToHistory() + "</div>");
}

std::string tokenRefusedPage(const std::string& message)
{
    return pageLayout("Upload tokens", "<div class=\"card\"><h1>Upload tokens</h1><p class=\"error\">" +
                                           htmlEscape(message) + "</p>" + backToHistory() + "</div>");
}

std::string confirmDeletionPage(const std::string& code, const std::string& action)
{
    return pageLayout(
        "Delete " + code,
        "<div class=\"card\"><h1>Delete " + htmlEscape(code) + "?</h1><p>The picture at <a href=\"/" +
            htmlEscape(code) + "\">/" + htmlEscape(code) +
            "</a> will be removed for good.</p><form method=\"post\" action=\"" + htmlEscape(action) +
            "\"><button type=\"submit\">Delete " + htmlEscape(code) + "</button></form></div>");
}

std::string deletedByLinkPage(const std::string& code)
{
    return pageLayout("Removed", "<div class=\"card\"><h1>Removed</h1><p>The picture " + htmlEscape(code) +
                                     " was removed.</p></div>");
}

} // namespace BL::Server
