#include "script/script_host.h"

#include <js/CompilationAndEvaluation.h>
#include <js/Initialization.h>
#include <js/Interrupt.h>
#include <js/SourceText.h>
#include <js/Stack.h>
#include <js/Warnings.h>
#include <jsapi.h>

#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>

#include "base/codepage.h"
#include "script/heap_usage.h"
#include "script/native_functions.h"

namespace tolvane {

namespace {

// The global object's class: the engine's default global hooks stand for
// the stub hooks of older engines.
const JSClass kGlobalClass = {
    "global", JSCLASS_GLOBAL_FLAGS, &JS::DefaultGlobalClassOps, nullptr, nullptr, nullptr};

// The engine library is initialised once per process and shut down when the
// process exits (it cannot be initialised again after a shutdown). The
// shutdown stops the engine's helper threads before the library's own static
// objects are destroyed; every engine is released by then, as each belongs
// to a ScriptHost.
bool InitialiseEngineLibrary() {
    static const bool initialised = [] {
        if (!JS_Init()) return false;
        std::atexit([] { JS_ShutDown(); });
        return true;
    }();
    return initialised;
}

// The one live engine of this thread, so that a new one can release it.
thread_local ScriptHost* liveHost = nullptr;

enum class StopReason { None, Time, Memory };

// Watches one script run from a second thread and asks the engine to
// interrupt the script when it runs too long or allocates too much.
class Watchdog {
  public:
    Watchdog(JSContext* cx, const ScriptLimits& limits)
        : cx_(cx), limits_(limits), baseline_(AllocatedHeapBytes()) {
        deadline_ = std::chrono::steady_clock::now() + limits_.timeLimit;
        thread_ = std::thread([this] { Watch(); });
    }
    ~Watchdog() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            finished_ = true;
        }
        wake_.notify_all();
        thread_.join();
    }
    StopReason reason() const { return reason_.load(); }

    // Time spent waiting for the user does not count.
    void UserWait(bool waiting) {
        std::lock_guard<std::mutex> lock(mutex_);
        auto now = std::chrono::steady_clock::now();
        if (waiting) {
            if (waitDepth_++ == 0) waitStart_ = now;
        } else if (waitDepth_ > 0 && --waitDepth_ == 0) {
            deadline_ += now - waitStart_;
        }
    }

  private:
    void Watch() {
        constexpr auto kPoll = std::chrono::milliseconds(10);
        std::unique_lock<std::mutex> lock(mutex_);
        while (!finished_) {
            wake_.wait_for(lock, kPoll);
            if (finished_) break;
            StopReason reason = StopReason::None;
            size_t used = AllocatedHeapBytes();
            if (baseline_ != 0 && used > baseline_ && used - baseline_ > limits_.memoryLimit) {
                reason = StopReason::Memory;
            } else if (waitDepth_ == 0 && std::chrono::steady_clock::now() >= deadline_) {
                reason = StopReason::Time;
            }
            // Asked again at every poll: code that still runs after the
            // first interrupt (a finally block) is interrupted as well.
            if (reason != StopReason::None || reason_.load() != StopReason::None) {
                if (reason_.load() == StopReason::None) reason_.store(reason);
                JS_RequestInterruptCallback(cx_);
            }
        }
    }

    JSContext* cx_;
    ScriptLimits limits_;
    size_t baseline_;
    std::mutex mutex_;
    std::condition_variable wake_;
    bool finished_ = false;
    int waitDepth_ = 0;
    std::chrono::steady_clock::time_point deadline_;
    std::chrono::steady_clock::time_point waitStart_;
    std::atomic<StopReason> reason_{StopReason::None};
    std::thread thread_;
};

}  // namespace

struct ScriptHost::Engine {
    JSContext* cx = nullptr;
    std::unique_ptr<JS::PersistentRootedObject> global;
    NativeEnvironment environment;
    Watchdog* watchdog = nullptr;  // while a script runs
};

namespace {

// Ends the running script (uncatchably) once the watchdog has asked.
bool OnInterrupt(JSContext* cx) {
    auto* environment = static_cast<NativeEnvironment*>(JS_GetContextPrivate(cx));
    auto* engine = environment ? static_cast<ScriptHost::Engine*>(environment->host) : nullptr;
    return !(engine && engine->watchdog && engine->watchdog->reason() != StopReason::None);
}

}  // namespace

ScriptHost::ScriptHost(Machine& machine, Prompter& prompter, ScriptLimits limits)
    : machine_(machine), prompter_(prompter), limits_(limits) {}

ScriptHost::~ScriptHost() {
    ReleaseEngine();
}

void ScriptHost::ReleaseEngine() {
    if (!engine_) return;
    engine_->global.reset();
    JS_DestroyContext(engine_->cx);
    engine_.reset();
    if (liveHost == this) liveHost = nullptr;
}

std::vector<std::string> ScriptHost::ProgramsNotEnded() const {
    return engine_ ? engine_->environment.programsNotEnded : std::vector<std::string>();
}

bool ScriptHost::StartEngine() {
    ReleaseEngine();
    if (liveHost) liveHost->ReleaseEngine();
    if (!InitialiseEngineLibrary()) return false;

    auto engine = std::make_unique<Engine>();
    engine->cx = JS_NewContext(kScriptHeapBytes);
    if (!engine->cx) return false;
    JSContext* cx = engine->cx;
    JS_SetNativeStackQuota(cx, limits_.nativeStackBytes);
    JS::SetWarningReporter(cx, nullptr);
    bool ok = JS::InitSelfHostedCode(cx) && JS_AddInterruptCallback(cx, OnInterrupt);
    if (ok) {
        JS::RealmOptions options;
        JSObject* global =
            JS_NewGlobalObject(cx, &kGlobalClass, nullptr, JS::FireOnNewGlobalHook, options);
        ok = global != nullptr;
        if (ok) {
            engine->global = std::make_unique<JS::PersistentRootedObject>(cx, global);
            JSAutoRealm realm(cx, global);
            ok = JS::InitRealmStandardClasses(cx) &&
                 JS_DefineFunctions(cx, *engine->global, NativeFunctionTable());
        }
    }
    if (!ok) {
        engine->global.reset();
        JS_DestroyContext(cx);
        return false;
    }
    engine->environment.machine = &machine_;
    engine->environment.prompter = &prompter_;
    Engine* raw = engine.get();
    engine->environment.userWait = [raw](bool waiting) {
        if (raw->watchdog) raw->watchdog->UserWait(waiting);
    };
    engine->environment.stopRequested = [raw] {
        return raw->watchdog && raw->watchdog->reason() != StopReason::None;
    };
    engine->environment.host = raw;
    JS_SetContextPrivate(cx, &engine->environment);
    engine_ = std::move(engine);
    liveHost = this;
    return true;
}

ScriptOutcome ScriptHost::RunScript(std::string_view text) {
    if (!engine_) return ScriptOutcome::NoEngine;
    JSContext* cx = engine_->cx;
    size_t zero = text.find('\0');
    std::u16string source = Cp1252ToUtf16(text.substr(0, zero));

    JSAutoRealm realm(cx, *engine_->global);
    bool completed = false;
    StopReason reason = StopReason::None;
    {
        Watchdog watchdog(cx, limits_);
        engine_->watchdog = &watchdog;
        JS::CompileOptions options(cx);
        JS::SourceText<char16_t> sourceText;
        JS::RootedValue result(cx);
        completed =
            sourceText.init(cx, source.data(), source.size(), JS::SourceOwnership::Borrowed) &&
            JS::Evaluate(cx, options, sourceText, &result);
        JS_ClearPendingException(cx);
        engine_->watchdog = nullptr;
        reason = watchdog.reason();
    }
    if (completed) return ScriptOutcome::Completed;
    if (reason == StopReason::Time) return ScriptOutcome::TimedOut;
    if (reason == StopReason::Memory) return ScriptOutcome::MemoryExceeded;
    return ScriptOutcome::Stopped;
}

}  // namespace tolvane
