// The session's policy over a stand-in transport that answers as scripted:
// when a request is asked again, when a connection is renewed, and when a
// device is given up on.

#include "device/session.h"

#include <gtest/gtest.h>

#include <deque>
#include <string>
#include <utility>
#include <vector>

namespace modbuscalc::device {
namespace {

DeviceError failure(DeviceError::Kind kind, int exception = 0)
{
    return { kind, exception, exception ? "exception " + std::to_string(exception) : "failed" };
}

// Answers each read with the next scripted outcome (values when the script
// is empty), and logs what it was asked: "open", "read", "close".
class ScriptedTransport final : public Transport {
public:
    ScriptedTransport(std::vector<std::string> &log, bool serial = false)
        : m_log(log)
        , m_serial(serial)
    {
    }

    std::optional<DeviceError> open() override
    {
        m_log.push_back("open");
        if (!opens.empty()) {
            std::optional<DeviceError> outcome = opens.front();
            opens.pop_front();
            if (outcome)
                return outcome;
        }
        m_open = true;
        return std::nullopt;
    }
    bool isOpen() const override { return m_open; }
    void close() override
    {
        if (m_open)
            m_log.push_back("close");
        m_open = false;
    }
    ReadResult read(RegisterType, int, int count) override
    {
        m_log.push_back("read");
        if (reads.empty())
            return std::vector<std::uint16_t>(static_cast<std::size_t>(count), 1);
        DeviceError error = reads.front();
        reads.pop_front();
        if (error.kind == DeviceError::Kind::Other)
            return std::vector<std::uint16_t>(static_cast<std::size_t>(count), 1);
        return error;
    }
    WriteResult write(RegisterType, int, std::span<const std::uint16_t>, bool) override
    {
        m_log.push_back("write");
        if (writes.empty())
            return std::nullopt;
        DeviceError error = writes.front();
        writes.pop_front();
        if (error.kind == DeviceError::Kind::Other)
            return std::nullopt;
        return error;
    }
    int maxPerRead(RegisterType type) const override { return MaxPerRead(type); }
    bool serial() const override { return m_serial; }
    void setUnit(int) override { }

    std::deque<DeviceError> reads; // Kind::Other: an answer
    std::deque<DeviceError> writes; // the same
    std::deque<std::optional<DeviceError>> opens;

private:
    std::vector<std::string> &m_log;
    bool m_serial;
    bool m_open = false;
};

const DeviceError Answer = failure(DeviceError::Kind::Other);
const DeviceError Timeout = failure(DeviceError::Kind::Timeout);
const DeviceError Broken = failure(DeviceError::Kind::Broken);

struct Fixture {
    explicit Fixture(int retries = 0, bool serial = false)
    {
        auto owned = std::make_unique<ScriptedTransport>(log, serial);
        transport = owned.get();
        session = std::make_unique<Session>(std::move(owned), retries, stop);
        EXPECT_FALSE(session->open());
        log.clear();
    }
    // "ok", or the error's kind as a number, for each of count reads.
    std::string readAll(int count)
    {
        std::string outcomes;
        for (int i = 0; i < count; ++i) {
            const ReadResult result = session->read(RegisterType::HoldingRegister, i, 1);
            const auto *error = std::get_if<DeviceError>(&result);
            outcomes += outcomes.empty() ? "" : " ";
            outcomes += error ? std::to_string(static_cast<int>(error->kind)) : "ok";
        }
        return outcomes;
    }
    int count(const std::string &what) const
    {
        return static_cast<int>(std::count(log.begin(), log.end(), what));
    }

    std::vector<std::string> log;
    Stop stop;
    ScriptedTransport *transport;
    std::unique_ptr<Session> session;
};

const std::string T = std::to_string(static_cast<int>(DeviceError::Kind::Timeout));
const std::string G = std::to_string(static_cast<int>(DeviceError::Kind::GaveUp));
const std::string E = std::to_string(static_cast<int>(DeviceError::Kind::Exception));

TEST(Session, TimeoutsNotInARowNeverAddUpToGivingUp)
{
    Fixture f;
    f.transport->reads = { Answer, Timeout, Answer, Timeout, Answer, Timeout, Answer };
    EXPECT_EQ(f.readAll(8), "ok " + T + " ok " + T + " ok " + T + " ok ok");
    // Each timeout renews the connection, so that its late reply cannot land.
    EXPECT_EQ(f.count("close"), 3);
    EXPECT_EQ(f.count("read"), 8);
}

TEST(Session, ThreeUnansweredInARowAndNoMoreRequests)
{
    Fixture f;
    f.transport->reads = { Timeout, Timeout, Timeout };
    EXPECT_EQ(f.readAll(5), T + " " + T + " " + G + " " + G + " " + G);
    EXPECT_EQ(f.count("read"), 3);
    // Until asked afresh, from none unanswered.
    f.session->reset();
    f.transport->reads = { Timeout, Answer };
    EXPECT_EQ(f.readAll(2), T + " ok");
}

TEST(Session, ADeviceThatDropsEveryConnectionAtItsFirstRequest)
{
    Fixture f;
    f.transport->reads = { Broken, Broken, Broken, Broken };
    EXPECT_EQ(f.readAll(4).substr(f.readAll(0).size()),
        std::to_string(static_cast<int>(DeviceError::Kind::Broken)) + " "
            + std::to_string(static_cast<int>(DeviceError::Kind::Broken)) + " " + G + " " + G);
    EXPECT_EQ(f.count("read"), 3);
}

TEST(Session, AConnectionClosedWhileIdleIsRenewedAtOnce)
{
    Fixture f;
    f.transport->reads = { Answer, Broken, Answer };
    EXPECT_EQ(f.readAll(2), "ok ok");
    EXPECT_EQ(f.log, (std::vector<std::string> { "read", "read", "close", "open", "read" }));
}

TEST(Session, AGatewayWithNothingBehindItIsGivenUpOnOnTheSameConnection)
{
    Fixture f;
    f.transport->reads = { failure(DeviceError::Kind::Exception, 11),
        failure(DeviceError::Kind::Exception, 11), failure(DeviceError::Kind::Exception, 11) };
    EXPECT_EQ(f.readAll(3), E + " " + E + " " + G);
    EXPECT_EQ(f.count("close"), 0);
    const ReadResult after = f.session->read(RegisterType::HoldingRegister, 0, 1);
    EXPECT_EQ(std::get<DeviceError>(after).text, "exception 11 to 3 requests in a row; giving up");
}

TEST(Session, OtherExceptionsAreAnswers)
{
    Fixture f;
    const DeviceError refused = failure(DeviceError::Kind::Exception, 2);
    f.transport->reads = { Timeout, Timeout, refused, Timeout, Timeout, Answer };
    EXPECT_EQ(f.readAll(6), T + " " + T + " " + E + " " + T + " " + T + " ok");
}

TEST(Session, RetriesAskAgainOnAFreshConnection)
{
    Fixture f(1);
    f.transport->reads = { Timeout, Answer };
    EXPECT_EQ(f.readAll(1), "ok");
    EXPECT_EQ(f.log, (std::vector<std::string> { "read", "close", "open", "read" }));
}

TEST(Session, ASerialLineIsNotReopenedAfterATimeout)
{
    Fixture f(0, true);
    f.transport->reads = { Timeout, Answer };
    EXPECT_EQ(f.readAll(2), T + " ok");
    EXPECT_EQ(f.count("close"), 0);
}

TEST(Session, ABusyDeviceIsAskedAgainOnlyAsRetriesAllow)
{
    const DeviceError busy = failure(DeviceError::Kind::Exception, 6);
    for (const int retries : { 0, 1 }) {
        SCOPED_TRACE(retries);
        Fixture f(retries);
        f.transport->reads = { busy, Answer };
        f.transport->writes = { busy, Answer };
        const std::string readOutcome = f.readAll(1);
        const WriteResult written = f.session->write(
            RegisterType::HoldingRegister, 1, std::vector<std::uint16_t> { 5 }, false);
        EXPECT_EQ(readOutcome, retries ? "ok" : E);
        EXPECT_EQ(written.has_value(), retries == 0);
        EXPECT_EQ(f.count("read"), 1 + retries);
        EXPECT_EQ(f.count("write"), 1 + retries);
        EXPECT_EQ(f.count("close"), 0); // it answered: the connection stays
    }
}

TEST(Session, ARefusalIsNeverAskedAgainWhateverRetriesSay)
{
    Fixture f(2);
    f.transport->reads = { failure(DeviceError::Kind::Exception, 2), Answer };
    EXPECT_EQ(f.readAll(1), E);
    EXPECT_EQ(f.count("read"), 1);
}

TEST(Session, TheWriteGivenUpOnMayHaveBeenDoneAndTheNextWasNeverSent)
{
    Fixture f;
    DeviceError unanswered = Timeout;
    unanswered.maybeDone = true;
    f.transport->writes = { unanswered, unanswered, unanswered };
    const std::vector<std::uint16_t> value { 5 };
    for (int i = 0; i < 2; ++i)
        EXPECT_TRUE(f.session->write(RegisterType::HoldingRegister, i, value, false)->maybeDone);
    const WriteResult third = f.session->write(RegisterType::HoldingRegister, 2, value, false);
    ASSERT_TRUE(third);
    EXPECT_EQ(third->kind, DeviceError::Kind::GaveUp);
    EXPECT_TRUE(third->maybeDone); // it went out
    const WriteResult fourth = f.session->write(RegisterType::HoldingRegister, 3, value, false);
    ASSERT_TRUE(fourth);
    EXPECT_EQ(fourth->kind, DeviceError::Kind::GaveUp);
    EXPECT_FALSE(fourth->maybeDone); // it never did
    EXPECT_EQ(f.count("write"), 3);
}

TEST(Session, AWriteOnAConnectionGoneBeforeItWasSentIsRenewedOnceNotForEver)
{
    Fixture f;
    f.transport->writes = { Broken, Broken, Broken, Broken, Broken };
    const WriteResult written = f.session->write(
        RegisterType::HoldingRegister, 1, std::vector<std::uint16_t> { 5 }, false);
    ASSERT_TRUE(written);
    EXPECT_FALSE(written->maybeDone); // never sent
    EXPECT_EQ(f.count("write"), 2);
}

TEST(Session, AStopAsksNothingMore)
{
    Fixture f;
    f.stop.request();
    EXPECT_EQ(f.readAll(1), std::to_string(static_cast<int>(DeviceError::Kind::Stopped)));
    EXPECT_EQ(f.count("read"), 0);
}

} // namespace
} // namespace modbuscalc::device

namespace modbuscalc::device {
namespace {

TEST(Session, EachUnitIsGivenUpOnByItself)
{
    // Behind a gateway unit 2 is dead: unit 1 on the same link goes on.
    Fixture f;
    f.session->setUnit(2);
    f.transport->reads = { Timeout, Timeout, Timeout };
    EXPECT_EQ(f.readAll(4), T + " " + T + " " + G + " " + G);
    f.session->setUnit(1);
    EXPECT_EQ(f.readAll(2), "ok ok");
    f.session->setUnit(2);
    EXPECT_EQ(f.readAll(1), G);
    f.session->reset(); // a watch's next poll asks every unit afresh
    EXPECT_EQ(f.readAll(1), "ok");
}

TEST(Session, ALinkThatWillNotOpenIsGivenUpOnForEveryUnit)
{
    Fixture f;
    f.transport->close();
    const DeviceError refused = failure(DeviceError::Kind::Refused);
    f.transport->opens = { refused, refused, refused };
    f.session->setUnit(2);
    const std::string R = std::to_string(static_cast<int>(DeviceError::Kind::Refused));
    EXPECT_EQ(f.readAll(3), R + " " + R + " " + G);
    f.log.clear();
    f.session->setUnit(3);
    EXPECT_EQ(f.readAll(1), G);
    EXPECT_EQ(f.count("open"), 0); // nothing more asked of a link gone
}

} // namespace
} // namespace modbuscalc::device
