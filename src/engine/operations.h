#pragma once

#include <QObject>
#include <QPointer>

#include <coroutine>
#include <exception>
#include <functional>
#include <memory>
#include <utility>
#include <vector>

class Prompts;
class QTimer;

// One piece of a terminal's work that may wait: a coroutine that runs up to
// its first wait at once and goes on later, never inside a nested event loop.
// An Operation starts only when it is run by an OperationStack or awaited by
// another Operation (co_await keyboard.SendKeyString(text)); an error it throws
// reaches whoever awaits it, like an exception from a plain call. Arguments of
// an awaited call are named variables, never temporaries made in the co_await
// expression itself: g++ 12 may destroy such a temporary twice.
class [[nodiscard]] Operation {
public:
    struct promise_type {
        std::coroutine_handle<> continuation;
        std::exception_ptr error;

        Operation get_return_object() { return Operation(Handle::from_promise(*this)); }
        std::suspend_always initial_suspend() noexcept { return {}; }
        struct Final {
            bool await_ready() noexcept { return false; }
            std::coroutine_handle<> await_suspend(std::coroutine_handle<promise_type> done) noexcept
            {
                const std::coroutine_handle<> next = done.promise().continuation;
                return next ? next : std::noop_coroutine();
            }
            void await_resume() noexcept {}
        };
        Final final_suspend() noexcept { return {}; }
        void return_void() {}
        void unhandled_exception() { error = std::current_exception(); }
    };
    using Handle = std::coroutine_handle<promise_type>;

    Operation() = default;
    Operation(Operation &&other) noexcept : m_handle(std::exchange(other.m_handle, {})) {}
    Operation &operator=(Operation &&other) noexcept
    {
        if (this != &other) {
            destroy();
            m_handle = std::exchange(other.m_handle, {});
        }
        return *this;
    }
    Operation(const Operation &) = delete;
    Operation &operator=(const Operation &) = delete;
    ~Operation() { destroy(); }

    bool await_ready() const noexcept { return !m_handle || m_handle.done(); }
    std::coroutine_handle<> await_suspend(std::coroutine_handle<> awaiting) noexcept
    {
        m_handle.promise().continuation = awaiting;
        return m_handle;
    }
    void await_resume()
    {
        if (m_handle && m_handle.promise().error)
            std::rethrow_exception(m_handle.promise().error);
    }

    Handle handle() const { return m_handle; }

private:
    explicit Operation(Handle handle) : m_handle(handle) {}
    void destroy()
    {
        if (m_handle)
            m_handle.destroy();
        m_handle = {};
    }

    Handle m_handle;
};

// The running operations of one terminal, newest on top, and the waits they
// make. A terminal waits as the original one-terminal program did, in a
// last-in, first-out order: an operation started while an older one of the
// same terminal waits (a key during a barcode, a reset during a barcode, a
// second barcode) runs its steps to the end before the older one resumes; an
// older operation whose wait is over resumes once everything above it has
// finished. Host data and everything else is handled in the middle of any
// wait, and the stacks of different terminals never hold each other up.
//
// A modal dialog shown for the terminal is the top of its stack while it is
// open (see Modal): nothing below it resumes until it closes.
//
//   Operation Keyboard::SendKeyString(QByteArray text)
//   {
//       for (char c : text) {
//           send(c);
//           co_await m_operations.pause(m_state.barcodeCharDelay);
//       }
//   }
//   ...
//   operations.run(keyboard.SendKeyString("123"), [](OperationStack::Outcome outcome) { ... });
//
// An error thrown by a run operation goes to the general error report (an
// AppError) or nowhere (a SilentAbort), as with every other event's work.
// Ending the stack (endAll, or its destruction) destroys every operation that
// is not running this moment and tells each that it ended.
class OperationStack : public QObject {
    Q_OBJECT
public:
    enum class Outcome { Finished, Failed, Ended };
    using Done = std::function<void(Outcome)>;

    explicit OperationStack(Prompts &prompts, QObject *parent = nullptr);
    ~OperationStack() override;

    // Starts work as the newest operation; it runs at once up to its first wait.
    void run(Operation work, Done done = {});

    struct Pause {
        OperationStack *stack;
        int milliseconds;
        bool await_ready() const noexcept { return false; }
        void await_suspend(std::coroutine_handle<> waiting) { stack->suspend(waiting, milliseconds, {}); }
        void await_resume() const noexcept {}
    };
    struct Until {
        OperationStack *stack;
        std::function<bool()> ready;
        bool await_ready() const { return ready(); }
        void await_suspend(std::coroutine_handle<> waiting) { stack->suspend(waiting, -1, std::move(ready)); }
        void await_resume() const noexcept {}
    };
    // Waits this long (0 or less: lets pending events run first), then goes on
    // once every newer operation has finished.
    Pause pause(int milliseconds) { return {this, milliseconds}; }
    // Waits until ready() holds, checked whenever poke() is called.
    Until until(std::function<bool()> ready) { return {this, std::move(ready)}; }
    // Something an until() may wait for has changed.
    void poke();

    // Ends every operation: the newest first, each told Outcome::Ended.
    void endAll();
    bool idle() const { return m_frames.empty(); }

    // A modal dialog open for the terminal, from construction to destruction.
    class Modal {
    public:
        explicit Modal(OperationStack *stack);
        ~Modal();
        Modal(const Modal &) = delete;
        Modal &operator=(const Modal &) = delete;

    private:
        QPointer<OperationStack> m_stack;
        quint64 m_id = 0;
    };

private:
    struct Frame;

    void suspend(std::coroutine_handle<> waiting, int milliseconds, std::function<bool()> ready);
    void resume(Frame *frame, std::coroutine_handle<> handle);
    void settle(Frame *frame);
    void finish(Frame *frame);
    void scheduleWake();
    void wake();
    Frame *find(quint64 id) const;
    void erase(Frame *frame);

    Prompts &m_prompts;
    std::vector<std::unique_ptr<Frame>> m_frames;
    Frame *m_current = nullptr;
    quint64 m_nextId = 1;
    bool m_wakeScheduled = false;
};
