#include "server/server.h"

#include "base/config.h"
#include "base/settings.h"
#include "scripts/gateway.h"
#include "http/handling.h"
#include "platform/console.h"
#include "platform/errors.h"
#include "platform/files.h"
#include "base/text.h"

#include <algorithm>
#include <exception>
#include <new>

namespace fernhollow {

using platform::consoleLine;

std::size_t findFromLastMiss(std::string_view text, std::string_view needle, std::size_t& searchedTo) {
    std::size_t at = text.find(needle, searchedTo);
    if (at == std::string_view::npos && text.size() >= needle.size())
        searchedTo = text.size() - needle.size() + 1;
    return at;
}

bool RequestHandler::closingDelimiterArrived() {
    if (!closingFound_)
        closingFound_ = findFromLastMiss(body, "\r\n--" + boundary + "--", closingSearchedTo_) != std::string::npos;
    return closingFound_;
}

std::optional<std::string> headOverLimit(std::string_view received, std::size_t headEnd) {
    // A head whose end has not come within the limit would pass it.
    std::size_t headSize = headEnd == std::string_view::npos ? received.size() + 1 : headEnd + 4;
    if (headSize > limits::maxHeadBytes)
        return "the head is larger than " + std::to_string(limits::maxHeadBytes) + " bytes";
    if (headEnd == std::string_view::npos) return std::nullopt;
    std::string_view head = received.substr(0, headSize);
    std::size_t lines = 0;
    for (std::size_t at = head.find("\r\n"); at != std::string_view::npos; at = head.find("\r\n", at + 2)) ++lines;
    if (lines > limits::maxHeadLines)
        return "the head has more than " + std::to_string(limits::maxHeadLines) + " lines";
    return std::nullopt;
}

bool BodyBudget::take(std::int64_t bytes) {
    if (bytes > cap_ - used_) return false;
    used_ += bytes;
    return true;
}

bool BodyClaim::growTo(std::int64_t bytes) {
    if (bytes <= held_) return true;
    if (budget_ && !budget_->take(bytes - held_)) return false;
    held_ = bytes;
    return true;
}

void BodyClaim::release() {
    if (budget_) budget_->give(held_);
    held_ = 0;
}

std::string bodiesBusyAnswer() {
    return plainAnswer("503 Service Unavailable", "Too many large request bodies in progress: try again later.\n",
                       "Retry-After: 5\r\n");
}

void RequestHandler::enter(Phase phase) {
    phase_ = phase;
    keepOpen = phase == Phase::Answered ? 0 : 1;
}

void RequestHandler::refuseOverLimit(std::string_view answer, std::string_view reason) {
    consoleLine("request refused: " + std::string(reason));
    send(answer);
    enter(Phase::Answered);
}

void RequestHandler::refuseBodyOverLimit() {
    refuseOverLimit(plainAnswer("413 Content Too Large",
                                "Request body too large: at most " + std::to_string(limits::maxBodyBytes) + " bytes.\n"),
                    "the body is larger than " + std::to_string(limits::maxBodyBytes) + " bytes");
}

bool RequestHandler::claimBody(std::uint64_t received) {
    // More bytes than announced are kept too, so they count when they are more.
    std::int64_t held = std::max(contentLength, static_cast<std::int64_t>(received));
    if (bodyClaim_.growTo(held)) return true;
    refuseOverLimit(bodiesBusyAnswer(), "the bodies in progress would hold more than " +
                                            std::to_string(limits::maxHeldBodyBytes) + " bytes");
    return false;
}

void RequestHandler::discard(std::size_t count) {
    discardLeft_ -= std::min(discardLeft_, static_cast<std::int64_t>(count));
    if (discardLeft_ == 0) enter(Phase::Answered);
}

void RequestHandler::processPacketData(std::string_view bytes) {
    switch (phase_) {
    case Phase::ReadingHead: return readHead(bytes);
    case Phase::ReceivingBody: return receiveBody(bytes);
    case Phase::Discarding: return discard(bytes.size());
    case Phase::Answered: return;
    }
}

void RequestHandler::readHead(std::string_view bytes) {
    keepOpen = 1;
    body.append(bytes);
    std::size_t headEnd = findFromLastMiss(body, "\r\n\r\n", headSearchedTo_);
    if (std::optional<std::string> reason = headOverLimit(body, headEnd))
        return refuseOverLimit(plainAnswer("431 Request Header Fields Too Large",
                                           "Request head too large: at most " + std::to_string(limits::maxHeadBytes) +
                                               " bytes in at most " + std::to_string(limits::maxHeadLines) +
                                               " lines.\n"),
                               *reason);
    if (headEnd == std::string::npos) return;
    request = parseRequestHead(std::string_view(body).substr(0, headEnd + 4), socket->peerAddress());
    enter(Phase::ReceivingBody);
    handleRequest();
    // What came after the head is the body's beginning.
    body.erase(0, headEnd + 4);
    if (phase_ == Phase::Discarding) {
        discard(body.size());
        body.clear();
        return;
    }
    if (phase_ == Phase::ReceivingBody) takeBody(true);
}

void RequestHandler::receiveBody(std::string_view bytes) {
    // Checked before the bytes are kept, so a body at its limit never grows
    // its buffer once more.
    if (body.size() + bytes.size() > static_cast<std::uint64_t>(limits::maxBodyBytes)) return refuseBodyOverLimit();
    if (!claimBody(body.size() + bytes.size())) return;
    body.append(bytes);
    takeBody(false);
}

void RequestHandler::takeBody(bool headJustWhole) {
    // An announced body over the limit is refused before the rest comes.
    if (contentLength > limits::maxBodyBytes) return refuseBodyOverLimit();
    // So is one the bodies in progress have no room for.
    if (!claimBody(body.size())) return;
    // Only a body the budget took is given room ahead.
    if (headJustWhole) reserveAnnouncedBody();
    if (bodyHandler_) bodyHandler_->received(body);
    if (bodyHandler_ && request.method() == "PUT") {
        // A page sent by PUT is whole at its announced length; more is no part of it.
        std::int64_t written = bodyHandler_->movedOut();
        if (written + static_cast<std::int64_t>(body.size()) < contentLength) return;
        body.resize(static_cast<std::size_t>(contentLength - written));
        answerBody();
    } else if (!boundary.empty() && contentLength > 0) {
        // The page of an upload may hold delimiter-like text anywhere, the
        // closing delimiter's own included: only its length tells when it is
        // whole. Bytes past it are no part of it, so they never move its end.
        if (body.size() < static_cast<std::uint64_t>(contentLength)) return;
        body.resize(static_cast<std::size_t>(contentLength));
        handlePost();
    } else if (!boundary.empty() && closingDelimiterArrived()) {
        handlePost();
    } else if (contentLength > 0 && static_cast<std::uint64_t>(contentLength) == body.size()) {
        handlePost();
        consoleLine("main.RequestHandler.processPacketData returned from handleRequest");
    }
}

RequestHandler::RequestHandler(std::unique_ptr<Connection> connection, BodyBudget* bodies, Gate* gate,
                               ScriptTurn* scripts)
    : socket(std::move(connection)), bodyClaim_(bodies), gate_(gate), scripts_(scripts) {}

RequestHandler::~RequestHandler() = default;

void RequestHandler::dropUnsavedPage() {
    if (bodyHandler_) bodyHandler_->drop();
}

void RequestHandler::reserveAnnouncedBody() {
    // A page written as it arrives needs no room here.
    if (bodyHandler_ && !bodyHandler_->holdsBody()) return;
    if (phase_ != Phase::ReceivingBody || contentLength <= 0 || contentLength > limits::maxBodyBytes) return;
    // Room for the announced body saves copying it at every doubling. Pages
    // never written are not resident, so a client announcing more than it
    // sends costs address space only, and the room is bounded; a refusal
    // just leaves the body to grow as it comes.
    try {
        body.reserve(static_cast<std::size_t>(std::min(contentLength, limits::maxReservedBodyBytes)));
    } catch (const std::bad_alloc&) {
    }
}

} // namespace fernhollow
