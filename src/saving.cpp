#include "server.h"

namespace fernhollow {

void RequestHandler::parseMultipart() {}
void RequestHandler::parseUploadOptions(std::string_view) {}
void RequestHandler::saveTiddly() {}

} // namespace fernhollow
