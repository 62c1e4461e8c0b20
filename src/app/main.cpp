// Drennik: a small POP3 server with a desktop window.

#include "app/check.h"
#include "app/deliver_mode.h"
#include "app/options.h"
#include "app/reload.h"
#include "app/responsiveness_probe.h"
#include "app/signals.h"
#include "mail_service/authenticator.h"
#include "mail_service/mail_service.h"
#include "mail_service/service_events.h"
#include "mail_service/service_log.h"
#include "main_window/frm_drennik.h"
#include "platform/descriptor_limit.h"
#include "platform/dialogs.h"
#include "platform/display.h"
#include "platform/file_system.h"
#include "platform/local_socket.h"
#include "platform/privileges.h"
#include "socket_layer/mod_falquor.h"
#include "socket_layer/tls_context.h"
#include "socket_layer/trace_file.h"
#include "trace_window/frm_falquor_dialog.h"

#include <QApplication>

#include <algorithm>
#include <chrono>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include <pwd.h>
#include <unistd.h>

namespace {

constexpr int kWindowMargin = 20;
// How late a log line may be written: a busy server writes its log in batches, so that the
// journal is woken once per batch rather than once per line.
constexpr std::chrono::milliseconds kLogDelay{50};

// Qt ends the program when it cannot open its display: without one, or with one named that
// cannot be reached (an ssh session with a stale DISPLAY), the server runs without a window.
void ChooseHeadlessPlatformIfNeeded() {
    if (std::getenv("QT_QPA_PLATFORM") != nullptr) {
        return;
    }
    const char* x = std::getenv("DISPLAY");
    const char* wayland = std::getenv("WAYLAND_DISPLAY");
    if ((wayland != nullptr && platform::WaylandDisplayReachable(wayland)) ||
        (x != nullptr && platform::XDisplayReachable(x))) {
        return;
    }
    if (x != nullptr || wayland != nullptr) {
        std::fprintf(stderr, "drennik: cannot open display %s; running without a window\n",
                     x != nullptr ? x : wayland);
    }
    ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
}

// The platform chosen draws nowhere: the offscreen or minimal one, however it was chosen.
bool HeadlessPlatform() {
    const char* chosen = std::getenv("QT_QPA_PLATFORM");
    const std::string name =
        chosen == nullptr ? "" : std::string(chosen).substr(0, std::string(chosen).find(':'));
    return name == "offscreen" || name == "minimal";
}

// Files with secrets that others could read, or that someone else could change.
void WarnAboutSecretFiles(const Options& options, uid_t uid, gid_t gid) {
    for (const std::string& secret : {options.passwords, options.tlsKey}) {
        if (secret.empty()) {
            continue;
        }
        if (const std::string warning = platform::SecretFileWarning(secret, uid, gid);
            !warning.empty()) {
            std::fprintf(stderr, "drennik: warning: %s\n", warning.c_str());
        }
    }
}

// The name of the user the program runs as now.
std::string CurrentUserName() {
    const passwd* entry = ::getpwuid(::geteuid());
    return entry != nullptr ? entry->pw_name : std::to_string(::geteuid());
}

}  // namespace

int main(int argc, char** argv) {
    // A mode of its own, before anything of the server is made: no log, no toolkit.
    if (argc > 1 && std::string(argv[1]) == "deliver") {
        return RunDeliver(argc - 2, argv + 2);
    }
    // Until the event loop can reload, a SIGHUP must not end the program (its default).
    std::signal(SIGHUP, SIG_IGN);
    const std::vector<std::string> arguments(argv, argv + argc);  // read again by a reload
    // The operator's log on standard error, level info. Qt's own messages go through it from
    // the start, so its warnings (runtime folder, fonts) stay out of a normal run's output.
    ServiceLog log;
    const QtMessageRoute qtMessages(log);
    const ParsedOptions parsed = ParseOptions(argc, argv);
    if (!parsed.problems.empty()) {
        for (const std::string& problem : parsed.problems) {
            std::fprintf(stderr, "drennik: %s\n", problem.c_str());
        }
        if (parsed.badCommandLine) {
            std::fputs(Usage().c_str(), stderr);
        }
        return 2;
    }
    const Options* const options = &parsed.options;
    if (options->help) {
        std::fputs(Usage().c_str(), stdout);
        return 0;
    }
    if (options->version) {
        std::puts("drennik " DRENNIK_VERSION);
        return 0;
    }
    if (options->check) {
        return RunCheck(*options);
    }
    log.SetLevel(ParseLogLevel(options->logLevel).value_or(LogLevel::Info));
    std::string error;
    // Read while still privileged: the file may be readable by root alone.
    Authenticator::PasswordTable hashes;
    if (!options->passwords.empty()) {
        auto read = Authenticator::ReadPasswordFile(options->passwords, error);
        if (!read) {
            std::fprintf(stderr, "drennik: %s\n", error.c_str());
            return 2;
        }
        hashes = std::move(*read);
    }
    // Read while the program may still be root: keys are often readable by root alone.
    std::unique_ptr<TlsContext> tls;
    std::string fingerprint;
    if (TlsWanted(*options)) {
        tls = options->tlsSelfSigned
                  ? TlsContext::SelfSigned(error)
                  : TlsContext::FromFiles(options->tlsCertificate, options->tlsKey, error);
        if (!tls) {
            std::fprintf(stderr, "drennik: %s\n", error.c_str());
            return 2;
        }
        fingerprint = tls->Fingerprint();
        if (options->tlsSelfSigned) {
            std::printf("TLS certificate SHA-256 fingerprint %s\n", fingerprint.c_str());
            std::fflush(stdout);
        }
    }
    // Decided before anything is bound, so that a user who cannot be had stops the start.
    const platform::RunAsChoice runAs = platform::ChooseRunAs(
        ::geteuid(), options->user, platform::OwnerOf(options->root), platform::SystemAccounts());
    if (runAs.kind == platform::RunAsChoice::Kind::Refuse) {
        std::fprintf(stderr, "drennik: %s\n", runAs.message.c_str());
        return 1;
    }
    const bool switching = runAs.kind == platform::RunAsChoice::Kind::Switch;
    WarnAboutSecretFiles(*options, switching ? runAs.account.uid : ::geteuid(),
                         switching ? runAs.account.gid : ::getegid());
    // Every connection is a descriptor: take what the system allows, and say so when that is
    // less than the connection limit needs (a descriptor per connection, a reserve besides).
    const std::size_t wanted = (options->maxConnections == 0 ? 10000 : options->maxConnections) +
                               static_cast<std::size_t>(MailService::kDescriptorReserve) + 64;
    std::string limitWarning;
    platform::RaiseDescriptorLimit(static_cast<int>(std::min<std::size_t>(wanted, INT_MAX)),
                                   limitWarning);
    if (!limitWarning.empty()) {
        std::fprintf(stderr, "%s\n", limitWarning.c_str());
    }
    std::signal(SIGPIPE, SIG_IGN);
    // Root was needed for the ports only: they are bound, then root is given up before the
    // toolkit starts, so no plugin, font or environment setting is ever read as root. A port
    // that could not be had is reported by the window.
    std::vector<int> listeners = modFalquor::OpenListeners(options->port, options->listenAddresses);
    std::vector<int> tlsListeners =
        options->pop3sPort >= 0
            ? modFalquor::OpenListeners(options->pop3sPort, options->listenAddresses)
            : std::vector<int>();
    std::vector<int> lmtpListeners =
        options->lmtpPort >= 0
            ? modFalquor::OpenListeners(options->lmtpPort, options->listenAddresses)
            : std::vector<int>();
    std::vector<int> smtpListeners =
        options->smtpPort >= 0
            ? modFalquor::OpenListeners(options->smtpPort, options->listenAddresses)
            : std::vector<int>();
    int localListener = -1;
    if (!options->lmtpSocket.empty()) {
        gid_t group = static_cast<gid_t>(-1);
        if (!options->lmtpSocketGroup.empty()) {
            group = platform::GroupId(options->lmtpSocketGroup);
            if (group == static_cast<gid_t>(-1)) {
                std::fprintf(stderr, "drennik: no group %s\n", options->lmtpSocketGroup.c_str());
                return 2;
            }
        }
        localListener =
            platform::OpenLocalListener(options->lmtpSocket, options->lmtpSocketMode, group, error);
        if (localListener < 0) {
            std::fprintf(stderr, "drennik: cannot listen for LMTP on %s\n", error.c_str());
            return 1;
        }
    }
    if (switching) {
        if (const std::string reason = platform::BecomeAccount(runAs.account); !reason.empty()) {
            std::fprintf(stderr, "drennik: cannot switch to user %s: %s\n",
                         runAs.account.name.c_str(), reason.c_str());
            return 1;
        }
    }
    if (const std::string reason = platform::ForbidNewPrivileges(); !reason.empty()) {
        std::fprintf(stderr, "drennik: %s\n", reason.c_str());
        return 1;
    }
    ChooseHeadlessPlatformIfNeeded();
    // Without a display nothing is drawn, so no toolkit beyond Qt Core is even started.
    const bool headless = HeadlessPlatform();
    std::unique_ptr<QCoreApplication> app;
    if (headless) {
        app = std::make_unique<QCoreApplication>(argc, argv);
    } else {
        app = std::make_unique<QApplication>(argc, argv);
    }

    log.Gather(kLogDelay);  // now that there is an event loop

    // Opened as the user the server runs as, who reopens it at each SIGHUP.
    std::unique_ptr<TraceFile> traceFile;
    if (!options->traceFile.empty()) {
        traceFile = std::make_unique<TraceFile>(
            options->traceFile, [&log, path = options->traceFile](const std::string& reason) {
                LogTraceFileError(&log, path, "write", reason);
            });
        if (const std::string reason = traceFile->Open(); !reason.empty()) {
            std::fprintf(stderr, "drennik: cannot open the trace file %s: %s\n",
                         options->traceFile.c_str(), reason.c_str());
            return 2;
        }
    }

    MaildropStore store(options->root);
    if (const std::string problem = store.RootProblem(); !problem.empty()) {
        std::fprintf(stderr, "drennik: warning: %s\n", problem.c_str());
    }
    modFalquor falquor;
    falquor.trace().SetSink(traceFile.get());
    falquor.SetIdleTimeout(options->idleTimeout);
    falquor.SetTls(std::move(tls));
    Authenticator auth;  // outlives the service and its conversations
    if (!options->passwords.empty()) {
        if (const std::string warning = auth.SetPasswords(std::move(hashes)); !warning.empty()) {
            std::fprintf(stderr, "drennik: warning: %s\n", warning.c_str());
        }
    }
    auth.SetRequireTls(options->requireTls);
    const std::string user = CurrentUserName();
    LogStart(&log, StartFacts{DRENNIK_VERSION, ::getpid(), user, options->root,
                              falquor.TlsConfigured(), fingerprint, options->requireTls});
    MailService service(falquor, std::move(store));
    service.SetLog(&log);
    ApplyLimits(*options, service, auth);
    service.SetListening(options->port, options->pop3sPort, options->listenAddresses);
    service.SetAuthenticator(&auth);
    service.SetLockMaildrops(options->lockMaildrop);
    service.UseListeningSockets(std::move(listeners), std::move(tlsListeners));
    service.SetDeliveryListening(options->lmtpPort, options->smtpPort);
    service.UseDeliveryListeningSockets(std::move(lmtpListeners), std::move(smtpListeners),
                                        localListener);

    std::unique_ptr<frmFalquorDialog> trace;
    std::unique_ptr<frmDrennik> window;
    if (headless) {
        QObject::connect(&service, &MailService::Problem, [&log](const QString& text) {
            log.Flush();  // what the log gathered came first
            std::fprintf(stderr, "drennik: %s\n", text.toLocal8Bit().constData());
        });
        if (const QString failed = service.Start(); !failed.isEmpty()) {
            log.Flush();
            std::fprintf(stderr, "drennik: %s\n", failed.toLocal8Bit().constData());
            return 1;
        }
    } else {
        trace = std::make_unique<frmFalquorDialog>(falquor.trace());
        window = std::make_unique<frmDrennik>(service, *trace);
        // The trace window opens beside the main window, not over it, so that both are seen.
        window->move(kWindowMargin, kWindowMargin);
        trace->move(kWindowMargin + window->width() + 3 * kWindowMargin, kWindowMargin);
        window->Form_Load();
        window->show();
    }
    // Before "listening" is printed: whoever reads it may stop the server at once.
    OnTerminationSignal([&] {
        if (window) {
            window->close();
            trace->close();
        }
        service.Stop();
        QCoreApplication::quit();
    });
    Reloader reloader(arguments, *options, fingerprint,
                      ReloadTargets{log, falquor, service, auth, traceFile.get()});
    OnReloadSignal([&reloader] { reloader.Reload(); });

    std::printf("listening on port %d\n", service.ListeningPort());
    if (options->pop3sPort >= 0) {
        std::printf("listening on TLS port %d\n", service.TlsListeningPort());
    }
    if (options->lmtpPort >= 0) {
        std::printf("listening on LMTP port %d\n", service.LmtpListeningPort());
    }
    if (options->smtpPort >= 0) {
        std::printf("listening on SMTP port %d\n", service.SmtpListeningPort());
    }
    if (localListener >= 0) {
        std::printf("listening on LMTP socket %s\n", options->lmtpSocket.c_str());
    }
    std::fflush(stdout);

    std::unique_ptr<ResponsivenessProbe> probe;
    if (options->probeResponsiveness) {
        probe = std::make_unique<ResponsivenessProbe>();
    }
    const int status = QCoreApplication::exec();
    log.Flush();
    if (probe) {
        std::fprintf(stderr, "drennik: responsiveness %s\n",
                     probe->Summary().toLocal8Bit().constData());
    }
    return status;
}
