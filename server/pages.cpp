#include "server/pages.h"

#include "server/form_tokens.h"
#include "server/share_links.h"
#include "server/token_pages.h"
#include "server/util.h"

#include <algorithm>

namespace BL::Server {

namespace {

const char style[] = R"(body{font-family:sans-serif;margin:0;background:#f4f4f2;color:#222}
header{background:#2b3a4a;color:#fff;padding:.6em 1.2em}header a{color:#fff;text-decoration:none;font-weight:bold}
main{max-width:60em;margin:1.5em auto;padding:0 1em}main.wide{max-width:none}
.card{background:#fff;border:1px solid #ddd;border-radius:6px;padding:1.2em;margin-bottom:1em}
figure{margin:0}.pair{display:flex;gap:1em;flex-wrap:wrap;align-items:flex-start}.pair figure{flex:0 1 auto;min-width:0}
img{max-width:100%;height:auto;border:1px solid #ccc;background:#fff}
figure img{box-sizing:content-box;max-width:calc(100% - 2px)}
label{display:block;margin:.6em 0 .2em}input[type=email],input[type=password],input[type=text]{box-sizing:border-box;width:100%;max-width:24em;padding:.4em}
button{margin-top:1em;padding:.5em 1.4em}.error{color:#a00}.muted{color:#666;font-size:.9em}
ul.history{list-style:none;padding:0}ul.history li{padding:.5em 0;border-bottom:1px solid #eee;overflow-wrap:anywhere}
a.thumb img{vertical-align:middle;margin-right:.8em}form.delete{display:inline;margin-left:1em}form.delete button{margin-top:0;padding:.2em .8em}
code.token{word-break:break-all;font-size:1.1em})";

// A screenshot is read, not admired: at its own size, one picture pixel per CSS pixel (per device
// pixel for one taken on a scaled screen), and scaled down only where it does not fit.
std::string pictureFigure(const std::string& code, int index, const SPictureFile& file, int scalePercent)
{
    const std::string src = "/" + code + (index == 2 ? "-2" : "") + ".png";
    std::string size;
    if (file.width > 0 && file.height > 0) {
        const auto css = [scalePercent](int pixels) {
            return std::to_string(std::max(1, (pixels * 100 + scalePercent / 2) / scalePercent));
        };
        size = " width=\"" + css(file.width) + "\" height=\"" + css(file.height) + "\"";
    }
    return "<figure><a href=\"" + htmlEscape(src) + "\"><img src=\"" + htmlEscape(src) + "\"" + size +
           " alt=\"Picture " + std::to_string(index) + "\"></a></figure>";
}

std::string metaTag(const char* attribute, const std::string& name, const std::string& content)
{
    return std::string("<meta ") + attribute + "=\"" + name + "\" content=\"" + htmlEscape(content) + "\">";
}

// What a chat shows for a link: Open Graph and Twitter card tags with absolute addresses (chats
// fetch them from elsewhere), and the oEmbed description's address.
std::string previewTags(const std::string& code, const std::string& title, const SCodeInfo& info,
                        const std::string& publicUrl)
{
    const SPreviewTarget image = previewTarget(publicUrl, code, info);
    std::string tags =
        metaTag("property", "og:type", "website") + metaTag("property", "og:site_name", "Brightloom") +
        metaTag("property", "og:title", title) + metaTag("property", "og:url", publicUrl + "/" + code);
    if (!image.url.empty()) {
        tags += metaTag("property", "og:image", image.url) +
                metaTag("property", "og:image:type", image.file.mime);
        if (image.file.width > 0) {
            tags += metaTag("property", "og:image:width", std::to_string(image.file.width)) +
                    metaTag("property", "og:image:height", std::to_string(image.file.height));
        }
        tags += metaTag("name", "twitter:image", image.url);
    }
    tags += metaTag("name", "twitter:card", "summary_large_image") + metaTag("name", "twitter:title", title);
    tags += "<link rel=\"alternate\" type=\"application/json+oembed\" href=\"" +
            htmlEscape(oembedUrl(publicUrl, code)) + "\" title=\"" + htmlEscape(title) + "\">";
    return tags;
}

} // namespace

std::string tokenInput(const std::string& formToken)
{
    return std::string("<input type=\"hidden\" name=\"") + formTokenField + "\" value=\"" +
           htmlEscape(formToken) + "\">";
}

std::string pageLayout(const std::string& title, const std::string& bodyHtml, const SPageOptions& options)
{
    std::string html = "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">"
                       "<meta name=\"viewport\" content=\"width=device-width,initial-scale=1\">";
    if (options.refreshSeconds > 0)
        html += "<meta http-equiv=\"refresh\" content=\"" + std::to_string(options.refreshSeconds) + "\">";
    html += options.headHtml;
    html +=
        "<title>" + htmlEscape(title) + " - Brightloom</title><style>" + style + "</style></head>\n<body>";
    html += std::string("<header><a href=\"/\">Brightloom</a></header>\n<main") +
            (options.wide ? " class=\"wide\"" : "") + ">" + bodyHtml + "</main></body></html>\n";
    return html;
}

std::string homePage()
{
    return pageLayout(
        "Share your screen in a click",
        "<div class=\"card\"><h1>Brightloom</h1><p>Grab an area of your screen and share the "
        "link at once.</p><p><a href=\"/signup\">Create an account</a> &middot; "
        "<a href=\"/user/history\">Your uploads</a> &middot; <a href=\"/about\">About</a></p></div>");
}

std::string aboutPage()
{
    return pageLayout(
        "About", "<div class=\"card\"><h1>About Brightloom</h1><p>Brightloom is a tray program for grabbing "
                 "an area of the screen and sharing it as a link. Press the shortcut, drag a rectangle, "
                 "and the link is on your clipboard before the upload has finished.</p>"
                 "<p>This service stores the pictures it receives and shows them under their links. "
                 "Sign in to see the pictures you uploaded.</p></div>");
}

std::string notFoundPage()
{
    return pageLayout("Not found", "<div class=\"card\"><h1>Not found</h1><p>There is nothing under this "
                                   "link.</p></div>");
}

std::string uploadInProgressPage(const std::string& code)
{
    return pageLayout("Upload in progress",
                      "<div class=\"card\"><h1>Upload in progress</h1><p>The picture <b>" + htmlEscape(code) +
                          "</b> is on its way. This page refreshes by itself and shows it as soon as it "
                          "arrives.</p></div>",
                      {2, {}, false});
}

std::string uploadFailedPage(const std::string& code)
{
    return pageLayout("Upload failed", "<div class=\"card\"><h1>Upload failed</h1><p>The picture <b>" +
                                           htmlEscape(code) +
                                           "</b> did not arrive: the service refused its upload. "
                                           "Nothing will be shown under this link.</p></div>");
}

std::string removedPage()
{
    return pageLayout("Removed",
                      "<div class=\"card\"><h1>Removed</h1><p>This picture was removed.</p></div>");
}

std::string expiredPage()
{
    return pageLayout("Expired",
                      "<div class=\"card\"><h1>Expired</h1><p>This picture has expired.</p></div>");
}

std::string deletionRefusedPage(const std::string& message)
{
    return pageLayout("Not deleted",
                      "<div class=\"card\"><h1>Not deleted</h1><p class=\"error\">" + htmlEscape(message) +
                          "</p><p><a href=\"/user/history\">Back to your uploads</a></p></div>");
}

std::string picturePage(const std::string& code, const SCodeInfo& info, const std::string& publicUrl)
{
    const bool pair = info.files.size() >= 2;
    const std::string title = (pair ? "Comparison " : "Picture ") + code;
    std::string body = "<div class=\"card\">";
    if (pair) {
        body += "<div class=\"pair\">" + pictureFigure(code, 1, info.files[0], info.scalePercent) +
                pictureFigure(code, 2, info.files[1], info.scalePercent) + "</div>";
    } else if (!info.files.empty()) {
        body += pictureFigure(code, 1, info.files[0], info.scalePercent);
    }
    body += "<p class=\"muted\">Uploaded " + htmlEscape(formatUtc(info.uploadedMs));
    if (info.endsMs > 0)
        body += " &middot; expires " + htmlEscape(formatUtc(info.endsMs));
    body += "</p></div>";
    // The whole window's width for the pictures: a narrower column would scale them down.
    return pageLayout(title, body, {0, previewTags(code, title, info, publicUrl), true});
}

std::string signupPage(const std::string& message, const std::string& email, const std::string& formToken)
{
    std::string body = "<div class=\"card\"><h1>Create an account</h1>";
    if (!message.empty())
        body += "<p class=\"error\">" + htmlEscape(message) + "</p>";
    body += "<form method=\"post\" action=\"/signup\">" + tokenInput(formToken) +
            "<label for=\"email\">E-mail</label><input type=\"email\" id=\"email\" name=\"email\" required "
            "value=\"" +
            htmlEscape(email) +
            "\"><label for=\"password\">Password</label>"
            "<input type=\"password\" id=\"password\" name=\"password\" required>"
            "<label for=\"password2\">Password again</label>"
            "<input type=\"password\" id=\"password2\" name=\"password2\" required>"
            "<div><button type=\"submit\">Sign up</button></div></form>"
            "<p class=\"muted\">Sign in to the desktop program with the same e-mail and password.</p></div>";
    return pageLayout("Sign up", body);
}

std::string signupDonePage(const std::string& email)
{
    return pageLayout("Welcome", "<div class=\"card\"><h1>Welcome</h1><p>The account <b>" +
                                     htmlEscape(email) +
                                     "</b> is ready. Sign in with it in the desktop program, or see "
                                     "<a href=\"/user/history\">your uploads</a>.</p></div>");
}

std::string signInPage(const std::string& message, const std::string& email, const std::string& formToken)
{
    std::string body = "<div class=\"card\"><h1>Sign in</h1>";
    if (!message.empty())
        body += "<p class=\"error\">" + htmlEscape(message) + "</p>";
    body += "<form method=\"post\" action=\"/user/history\">" + tokenInput(formToken) +
            "<label for=\"email\">E-mail</label><input type=\"email\" id=\"email\" name=\"email\" required "
            "value=\"" +
            htmlEscape(email) +
            "\"><label for=\"password\">Password</label>"
            "<input type=\"password\" id=\"password\" name=\"password\" required>"
            "<div><button type=\"submit\">Sign in</button></div></form>"
            "<p class=\"muted\">No account yet? <a href=\"/signup\">Sign up</a>.</p></div>";
    return pageLayout("Sign in", body);
}

std::string historyPage(const std::string& email, const std::vector<SHistoryItem>& items,
                        const std::vector<SApiToken>& tokens, const std::string& formToken)
{
    std::string body = "<div class=\"card\"><h1>Your uploads</h1><p class=\"muted\">Signed in as " +
                       htmlEscape(email) + ".</p><form method=\"post\" action=\"/user/signout\">" +
                       tokenInput(formToken) + "<button type=\"submit\">Sign out</button></form>";
    if (items.empty()) {
        body += "<p>No uploads yet.</p>";
    } else {
        body += "<ul class=\"history\">";
        for (const SHistoryItem& item : items) {
            const std::string link = "/" + item.code;
            body += "<li>";
            if (!item.thumbnail.name.empty()) {
                body += "<a href=\"" + htmlEscape(link) + "\" class=\"thumb\"><img src=\"" +
                        htmlEscape(thumbnailUrl(std::string(), item.code)) + "\" width=\"" +
                        std::to_string(item.thumbnail.width) + "\" height=\"" +
                        std::to_string(item.thumbnail.height) + "\" alt=\"Thumbnail of " +
                        htmlEscape(item.code) + "\"></a>";
            }
            body += "<a href=\"" + htmlEscape(link) + "\">" + htmlEscape(item.code) + "</a> &middot; " +
                    htmlEscape(formatUtc(item.uploadedMs)) +
                    (item.pictureCount >= 2 ? " &middot; comparison" : "");
            if (item.endsMs > 0)
                body += " &middot; expires " + htmlEscape(formatUtc(item.endsMs));
            if (!item.sourceUrl.empty())
                body += " &middot; <span class=\"muted\">from " + htmlEscape(item.sourceUrl) + "</span>";
            body += "<form method=\"post\" action=\"/user/delete\" class=\"delete\">" +
                    tokenInput(formToken) + "<input type=\"hidden\" name=\"code\" value=\"" +
                    htmlEscape(item.code) + "\"><button type=\"submit\">Delete " + htmlEscape(item.code) +
                    "</button></form></li>";
        }
        body += "</ul>";
    }
    body += "</div>" + tokensSection(tokens, formToken);
    return pageLayout("Your uploads", body);
}

} // namespace BL::Server
