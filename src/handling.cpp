#include "server.h"

namespace fernhollow {

void RequestHandler::handleRequest() {}
void RequestHandler::handlePost() {}
void RequestHandler::sendTiddlyList() {}
void RequestHandler::sendFile(const std::string&) {}
void RequestHandler::sendHead(const std::string&) {}

} // namespace fernhollow
