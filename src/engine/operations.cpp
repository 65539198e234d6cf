#include "engine/operations.h"

#include "engine/prompts.h"

#include <QCoreApplication>
#include <QPointer>
#include <QTimer>

#include <algorithm>
#include <chrono>
#include <map>
#include <optional>

namespace {

// The pauses of every operation stack of the program, kept in order of their
// deadlines on one timer, which is armed for the nearest. A fleet has a pause
// running for each terminal that types: one timer for all of them costs a
// look-up per pause instead of starting and stopping a timer of its own.
class PauseClock : public QObject {
public:
    using Clock = std::chrono::steady_clock;
    using Key = std::pair<Clock::time_point, quint64>;
    using Wake = std::function<void()>;
    using Ticket = std::map<Key, Wake>::iterator;

    // The clock of the running application, made on first use.
    static PauseClock &instance()
    {
        if (!current())
            new PauseClock(QCoreApplication::instance());
        return *current();
    }
    // The clock if there is one: at exit the application may have taken it already.
    static PauseClock *existing() { return current(); }

    Ticket add(int milliseconds, Wake wake)
    {
        const Key key{Clock::now() + std::chrono::milliseconds(std::max(milliseconds, 0)), ++m_added};
        const Ticket ticket = m_pauses.emplace(key, std::move(wake)).first;
        if (ticket == m_pauses.begin())
            arm();
        return ticket;
    }
    void cancel(Ticket ticket) { m_pauses.erase(ticket); }

private:
    explicit PauseClock(QObject *parent) : QObject(parent)
    {
        m_timer.setSingleShot(true);
        m_timer.setTimerType(Qt::PreciseTimer);
        connect(&m_timer, &QTimer::timeout, this, &PauseClock::fire);
        current() = this;
    }
    ~PauseClock() override { current() = nullptr; }

    static PauseClock *&current()
    {
        static PauseClock *clock = nullptr;
        return clock;
    }

    void arm()
    {
        if (m_pauses.empty()) {
            m_timer.stop();
            return;
        }
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(m_pauses.begin()->first.first - Clock::now());
        m_timer.start(int(std::max<qint64>(left.count(), 0)));
    }

    // Wakes every pause that is due and was added before this turn, in order
    // of deadline; one added meanwhile, even with no wait, waits for the next.
    void fire()
    {
        const Clock::time_point now = Clock::now();
        const quint64 last = m_added;
        while (!m_pauses.empty()) {
            const auto first = m_pauses.begin();
            if (first->first.first > now || first->first.second > last)
                break;
            Wake wake = std::move(first->second);
            m_pauses.erase(first);
            wake();
        }
        arm();
    }

    QTimer m_timer;
    std::map<Key, Wake> m_pauses;
    quint64 m_added = 0;
};

} // namespace

struct OperationStack::Frame {
    quint64 id = 0;
    Operation work;     // none for a modal dialog
    bool modal = false;
    // The innermost coroutine of the operation while it waits; none while it runs.
    std::coroutine_handle<> waiting;
    std::function<bool()> ready; // an until() wait; a pause waits for due
    bool due = false;
    std::optional<PauseClock::Ticket> pause; // while a pause runs
    Done done;
    // Its code is on the call stack: it cannot be destroyed now.
    int running = 0;
    bool ended = false;

    ~Frame() { endPause(); }
    void endPause()
    {
        if (!pause)
            return;
        if (PauseClock *clock = PauseClock::existing())
            clock->cancel(*pause);
        pause.reset();
    }
};

OperationStack::OperationStack(Prompts &prompts, QObject *parent) : QObject(parent), m_prompts(prompts) {}

OperationStack::~OperationStack()
{
    endAll();
    m_frames.clear();
}

void OperationStack::run(Operation work, Done done)
{
    auto owned = std::make_unique<Frame>();
    Frame *frame = owned.get();
    frame->id = m_nextId++;
    frame->work = std::move(work);
    frame->done = std::move(done);
    m_frames.push_back(std::move(owned));
    resume(frame, frame->work.handle());
}

void OperationStack::resume(Frame *frame, std::coroutine_handle<> handle)
{
    Frame *const previous = std::exchange(m_current, frame);
    ++frame->running;
    handle.resume();
    --frame->running;
    m_current = previous;
    settle(frame);
}

void OperationStack::settle(Frame *frame)
{
    if (frame->running > 0)
        return;
    if (frame->ended) {
        Done done = std::move(frame->done);
        erase(frame);
        scheduleWake();
        if (done)
            done(Outcome::Ended);
        return;
    }
    if (frame->work.handle().done())
        finish(frame);
    // Otherwise it waits; its timer or a poke() brings it back.
}

void OperationStack::finish(Frame *frame)
{
    const std::exception_ptr error = frame->work.handle().promise().error;
    Done done = std::move(frame->done);
    erase(frame);
    scheduleWake();
    Outcome outcome = Outcome::Finished;
    if (error) {
        outcome = Outcome::Failed;
        try {
            std::rethrow_exception(error);
        } catch (const AppError &failure) {
            reportError(m_prompts, failure.text());
        } catch (const SilentAbort &) {
        }
    }
    if (done)
        done(outcome);
}

void OperationStack::suspend(std::coroutine_handle<> waiting, int milliseconds, std::function<bool()> ready)
{
    Frame *frame = m_current;
    Q_ASSERT(frame);
    frame->waiting = waiting;
    frame->due = false;
    frame->ready = std::move(ready);
    if (frame->ready)
        return;
    frame->endPause();
    frame->pause = PauseClock::instance().add(milliseconds, [this, frame] {
        frame->pause.reset();
        frame->due = true;
        if (!m_frames.empty() && m_frames.back().get() == frame)
            wake();
    });
}

void OperationStack::poke()
{
    wake();
}

void OperationStack::scheduleWake()
{
    if (m_wakeScheduled)
        return;
    m_wakeScheduled = true;
    QMetaObject::invokeMethod(
        this,
        [this] {
            m_wakeScheduled = false;
            wake();
        },
        Qt::QueuedConnection);
}

void OperationStack::wake()
{
    if (m_frames.empty())
        return;
    Frame *top = m_frames.back().get();
    if (top->modal || !top->waiting || top->running > 0 || top->ended)
        return;
    if (!(top->ready ? top->ready() : top->due))
        return;
    const std::coroutine_handle<> handle = std::exchange(top->waiting, {});
    top->ready = {};
    top->due = false;
    resume(top, handle);
}

void OperationStack::endAll()
{
    // Newest first, as the nested waits of old unwound; a done() may start or
    // end others, so the bound only stops one that keeps starting new ones.
    const std::size_t most = m_frames.size() * 2 + 16;
    for (std::size_t ended = 0; ended < most; ++ended) {
        auto it = std::find_if(m_frames.rbegin(), m_frames.rend(),
                               [](const auto &frame) { return !frame->modal && !frame->ended; });
        if (it == m_frames.rend())
            return;
        Frame *frame = it->get();
        frame->ended = true;
        settle(frame);
    }
}

OperationStack::Frame *OperationStack::find(quint64 id) const
{
    for (const auto &frame : m_frames)
        if (frame->id == id)
            return frame.get();
    return nullptr;
}

void OperationStack::erase(Frame *frame)
{
    const auto it = std::find_if(m_frames.begin(), m_frames.end(),
                                 [frame](const auto &candidate) { return candidate.get() == frame; });
    if (it == m_frames.end())
        return;
    // Taken out first: destroying the coroutines runs their destructors, which may look at the stack.
    std::unique_ptr<Frame> gone = std::move(*it);
    m_frames.erase(it);
    gone.reset();
}

OperationStack::Modal::Modal(OperationStack *stack) : m_stack(stack)
{
    if (!m_stack)
        return;
    auto frame = std::make_unique<Frame>();
    frame->id = m_id = m_stack->m_nextId++;
    frame->modal = true;
    m_stack->m_frames.push_back(std::move(frame));
}

OperationStack::Modal::~Modal()
{
    if (!m_stack)
        return;
    if (Frame *frame = m_stack->find(m_id)) {
        m_stack->erase(frame);
        m_stack->scheduleWake();
    }
}
