#pragma once

#include "server/store.h"

#include <string>
#include <vector>

namespace BL::Server {

// The history page's part for upload tokens: each token with a form that revokes it, and a form
// that makes one.
std::string tokensSection(const std::vector<SApiToken>& tokens, const std::string& formToken);
// A token just made: the only time it is shown, with its custom-uploader file (`uploaderJson`) to
// download.
std::string tokenMadePage(const std::string& name, const std::string& token, const std::string& uploaderJson);
// The refusal of a token form.
std::string tokenRefusedPage(const std::string& message);
// What a deletion link opens: the picture's code and a button that deletes it.
std::string confirmDeletionPage(const std::string& code, const std::string& action);
// After a deletion by its link.
std::string deletedByLinkPage(const std::string& code);

} // namespace BL::Server
