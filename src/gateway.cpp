#include "server.h"

namespace fernhollow {

void RequestHandler::handlePhpRequest(const std::string&, const std::string&) {}

} // namespace fernhollow
