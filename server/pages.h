#pragma once

#include "server/store.h"

#include <string>
#include <vector>

namespace BL::Server {

// Every page is self-contained: inline style, no scripts, no external assets. Callers pass
// plain text; the page functions escape it.
std::string pageLayout(const std::string& title, const std::string& bodyHtml, int refreshSeconds = 0);

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
// `endsMs`: when the pictures go, 0 for never.
std::string picturePage(const std::string& code, int pictureCount, std::int64_t uploadedMs,
                        std::int64_t endsMs);
// The forms carry `formToken` in a hidden field.
std::string signupPage(const std::string& message, const std::string& email, const std::string& formToken);
std::string signupDonePage(const std::string& email);
std::string signInPage(const std::string& message, const std::string& email, const std::string& formToken);
// Each upload with a form that deletes it.
std::string historyPage(const std::string& email, const std::vector<SHistoryItem>& items,
                        const std::string& formToken);

} // namespace BL::Server
