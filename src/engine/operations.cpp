#include "engine/operations.h"

#include "engine/prompts.h"

#include <QPointer>
#include <QTimer>

#include <algorithm>

struct OperationStack::Frame {
    quint64 id = 0;
    Operation work;     // none for a modal dialog
    bool modal = false;
    // The innermost coroutine of the operation while it waits; none while it runs.
    std::coroutine_handle<> waiting;
    std::function<bool()> ready; // an until() wait; a pause waits for due
    bool due = false;
    std::unique_ptr<QTimer> timer;
    Done done;
    // Its code is on the call stack: it cannot be destroyed now.
    int running = 0;
    bool ended = false;
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
    if (!frame->timer) {
        frame->timer = std::make_unique<QTimer>();
        frame->timer->setSingleShot(true);
        frame->timer->setTimerType(Qt::PreciseTimer);
        QObject::connect(frame->timer.get(), &QTimer::timeout, this, [this, frame] {
            frame->due = true;
            if (!m_frames.empty() && m_frames.back().get() == frame)
                wake();
        });
    }
    frame->timer->start(std::max(milliseconds, 0));
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
