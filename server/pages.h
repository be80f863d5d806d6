#pragma once

#include "server/store.h"

#include <string>
#include <vector>

namespace BL::Server {

// Every page is self-contained: inline style, no scripts, no external assets. Callers pass
// plain text; the page functions escape it.
struct SPageOptions
{
    int refreshSeconds = 0; // 0: the page does not reload itself
    std::string headHtml;   // into the head as it is
    bool wide = false;      // the window's whole width rather than a column for reading
};

std::string pageLayout(const std::string& title, const std::string& bodyHtml,
                       const SPageOptions& options = {});

std::string homePage();
std::string aboutPage();
std::string notFoundPage();
std::string uploadInProgressPage(const std::string& code);
// The page of a code whose upload was refused.
std::string uploadFailedPage(const std::string& code);
// The page of a code whose uploader took it back.
std::string removedPage();
// The page of a code whose pictures' time ran out.
std::string expiredPage();
// The refusal of a deletion from the history page.
std::string deletionRefusedPage(const std::string& message);
// One picture, or the two of a comparison side by side.
// With the tags chats build their previews from, addressed under `publicUrl`.
std::string picturePage(const std::string& code, const SCodeInfo& info, const std::string& publicUrl);
// The forms carry `formToken` in a hidden field.
std::string signupPage(const std::string& message, const std::string& email, const std::string& formToken);
std::string signupDonePage(const std::string& email);
std::string signInPage(const std::string& message, const std::string& email, const std::string& formToken);
// Each upload with a form that deletes it, and the account's upload tokens.
std::string historyPage(const std::string& email, const std::vector<SHistoryItem>& items,
                        const std::vector<SApiToken>& tokens, const std::string& formToken);
// The hidden field of a form's token.
std::string tokenInput(const std::string& formToken);

} // namespace BL::Server
