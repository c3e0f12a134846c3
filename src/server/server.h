// The per-connection RequestHandler: the request's bytes read as one state
// machine, its body kept within the limits shared by all connections, and
// the handler its route picks.
#pragma once

#include "access/auth.h"
#include "http/answer.h"
#include "http/body.h"
#include "http/request.h"
#include "scripts/script_job.h"
#include "platform/unique_fd.h"
#include "server/connection.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace fernhollow {

// The bytes that the bodies of all open connections may hold together;
// owned by the connection loop, shared by its handlers.
class BodyBudget {
public:
    explicit BodyBudget(std::int64_t cap) : cap_(cap) {}
    BodyBudget(const BodyBudget&) = delete;
    BodyBudget& operator=(const BodyBudget&) = delete;
    // Takes `bytes` more when the total stays within the cap; false (nothing taken) otherwise.
    bool take(std::int64_t bytes);
    // Gives back `bytes` taken before.
    void give(std::int64_t bytes) { used_ -= bytes; }
    std::int64_t used() const { return used_; }
    std::int64_t cap() const { return cap_; }

private:
    std::int64_t cap_;
    std::int64_t used_ = 0;
};

// One handler's share of a BodyBudget, given back when the claim ends.
// Without a budget every claim is granted.
class BodyClaim {
public:
    explicit BodyClaim(BodyBudget* budget = nullptr) : budget_(budget) {}
    ~BodyClaim() { release(); }
    BodyClaim(const BodyClaim&) = delete;
    BodyClaim& operator=(const BodyClaim&) = delete;
    // Raises the claim to `bytes` in all (never lowers it); false, the claim
    // unchanged, when the budget has not that much left.
    bool growTo(std::int64_t bytes);
    // Gives the whole claim back.
    void release();
    std::int64_t held() const { return held_; }

private:
    BodyBudget* budget_;
    std::int64_t held_ = 0;
};

struct Route;

// One accepted connection and everything of the one request it carries: the
// only code that reads a request's bytes, as one state machine.
class RequestHandler {
public:
    // Where the connection's one request stands.
    enum class Phase {
        ReadingHead,    // bytes are gathered up to the head's empty line
        ReceivingBody,  // the head is routed; its body goes to its handler until whole
        Discarding,     // refused while the client still sends its body: read and dropped
        Answered,       // answered (or a script's answer is on its way): nothing more is read
    };

    // A handler given `bodies` keeps its body within what they have left; one
    // given `gate` lets only the requests it admits through; one given
    // `scripts` starts its script when the turn is free and leaves it to the
    // loop to notice its end, one without runs it at once and waits for it.
    explicit RequestHandler(std::unique_ptr<Connection> connection = nullptr, BodyBudget* bodies = nullptr,
                            Gate* gate = nullptr, ScriptTurn* scripts = nullptr);
    virtual ~RequestHandler();
    RequestHandler(const RequestHandler&) = delete;
    RequestHandler& operator=(const RequestHandler&) = delete;

    // Routes a request whose head is complete; answers GET and HEAD at once.
    virtual void handleRequest();
    // Answers a POST whose body is complete.
    virtual void handlePost();
    // Takes the bytes of one receive and answers whatever became complete.
    virtual void processPacketData(std::string_view bytes);

    // Sends a handler's answer, or runs the script it names.
    void answer(Answer answer);
    // Runs the script interpreter for a ".php" request and sends its answer
    // (once it has ended, when the loop runs it).
    void handlePhpRequest(const std::string& method, const std::string& url);
    // Whether this request's script waits for its turn or runs.
    bool scriptPending() const { return script_ != nullptr; }
    // Starts a script waiting for its turn when the turn is free; answers a
    // running one that has ended or run out of time. Called every pass.
    void advanceScript(std::chrono::steady_clock::time_point now);
    // Whether this request holds the scripts' turn: its script runs, or the
    // output file of its script is still being sent.
    bool holdsScriptTurn() const;
    // Removes the temporary file of a page that was being written as it
    // arrived and was not saved (a refused or unfinished request).
    void dropUnsavedPage();

    // Whether the head has come whole.
    bool headWhole() const { return phase_ != Phase::ReadingHead; }
    Phase phase() const { return phase_; }

    std::unique_ptr<Connection> socket;
    // 1 while the connection reads its request, 0 once it is answered: it is
    // closed when the answer is all out.
    std::int32_t keepOpen = 0;
    std::string body;
    // The request, once its head is whole (until then its headLines are empty).
    Request request;
    std::string boundary;
    std::int64_t contentLength = 0;

protected:
    // Sends one whole answer on the connection.
    void send(std::string_view bytes) { socket->send(bytes); }
    // Sends a piece of an answer that more bytes follow.
    void sendPart(std::string_view bytes) { socket->sendPart(bytes); }

private:
    Phase phase_ = Phase::ReadingHead;
    // Moves to `phase`, keeping keepOpen in step.
    void enter(Phase phase);
    // Gathers the head; once whole, parses and routes the request.
    void readHead(std::string_view bytes);
    // Keeps the bytes of a body within its limits and hands them on.
    void receiveBody(std::string_view bytes);
    // Hands the body received so far to its handler, answering once it is
    // whole (`headJustWhole`: its first bytes came with the head).
    void takeBody(bool headJustWhole);
    // The handler the request's body goes to, and that answers it once whole;
    // it lives as long as the connection (what a save replaced is removed
    // once the answer has gone out).
    std::unique_ptr<BodyHandler> bodyHandler_;
    // Hands a request that takes a body to its row's handler.
    void startBody(const Route& route);
    // Answers a request whose body is whole through its body handler.
    void answerBody();
    // How far the searches of processPacketData have looked without a match,
    // so that every receive searches only what is new.
    std::size_t headSearchedTo_ = 0;
    std::size_t closingSearchedTo_ = 0;
    bool closingFound_ = false;
    // This request's share of the bodies held by all connections.
    BodyClaim bodyClaim_;
    // Who may make requests; none: everyone.
    Gate* gate_;
    // Whose turn it is to run a script; none: scripts run and are waited for at once.
    ScriptTurn* scripts_;
    // This request's script from its routing to its answer.
    std::unique_ptr<ScriptJob> script_;
    // Whether this request's script output went to the connection as a file.
    bool scriptOutputSent_ = false;
    // Body bytes still to be read and dropped after a refusal was sent, so
    // that the client, still sending, reads the refusal rather than a reset.
    std::int64_t discardLeft_ = 0;
    // Whether the gate lets the request whose head is complete through;
    // when not, it has been answered.
    bool admitted();
    // Reads and drops `count` bytes of a refused body; has the connection
    // closed once the body is all in.
    void discard(std::size_t count);
    // Whether the closing delimiter of the multipart body has arrived.
    bool closingDelimiterArrived();
    // Makes room in `body` for the Content-Length a POST announced.
    void reserveAnnouncedBody();
    // Answers a request over a limit and has the connection closed.
    void refuseOverLimit(std::string_view answer, std::string_view reason);
    // Answers a body over its limit (413) and has the connection closed.
    void refuseBodyOverLimit();
    // Claims the larger of the announced length and `received` body bytes
    // from the shared budget; when it has not that much left, answers 503,
    // has the connection closed and returns false.
    bool claimBody(std::uint64_t received);
};

// Why a head still missing its end (`headEnd` npos) or ending at `headEnd`
// in `received` is refused: the text of the console line, or nothing.
std::optional<std::string> headOverLimit(std::string_view received, std::size_t headEnd);

// The answer to a request when the bodies in progress have no room for its
// body: 503 with a Retry-After.
std::string bodiesBusyAnswer();

// Finds `needle` in `text` looking only from `searchedTo` on (less the
// overlap a match can straddle); updates `searchedTo` after a miss.
std::size_t findFromLastMiss(std::string_view text, std::string_view needle, std::size_t& searchedTo);

} // namespace fernhollow
