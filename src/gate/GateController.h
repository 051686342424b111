#pragma once

#include "account/RelayClient.h"
#include "gate/GateEnvironment.h"
#include "gate/GateProcess.h"

#include <QCoro/QCoroTask>
#include <QNetworkAccessManager>
#include <QObject>
#include <QPointer>
#include <QStringList>

#include <memory>
#include <optional>
#include <vector>

// The one controller behind every window: it holds the state they show, persists the settings,
// writes the gate's config, launches, stops and probes the gate, and switches between the own
// gate and an existing one. Views read its properties after changed() and call one operation
// per action; operations return nothing and publish their outcome.
class GateController final : public QObject {
    Q_OBJECT
public:
    explicit GateController(GateEnvironment environment, QObject* parent = nullptr);
    ~GateController() override;

    // The application's controller, built from the real platform on first use, never released.
    // The first call names the platform's sign-in sheet.
    static GateController& shared(std::shared_ptr<SignInSheet> signInSheet = nullptr);

    // Published state. Every assignment emits changed(), also when the value is the same.
    bool helperRunning() const { return m_helperRunning; }
    bool existingGateDetected() const { return m_existingGateDetected; }
    const QString& lastChecked() const { return m_lastChecked; }
    const std::optional<QString>& accountUserId() const { return m_accountUserId; }
    const std::optional<QString>& personalRoom() const { return m_personalRoom; }
    bool signingIn() const { return m_signingIn; }
    const std::optional<QString>& lastError() const { return m_lastError; }
    bool launchAtLogin() const { return m_launchAtLogin; }
    bool useExistingGate() const { return m_useExistingGate; }
    const QStringList& detectedAgents() const { return m_detectedAgents; }
    const QStringList& registeredAgents() const { return m_registeredAgents; }
    const std::optional<QString>& registrationError() const { return m_registrationError; }

    // A non-empty API key is stored; read from the settings store every time.
    bool signedIn() const;

    const QString& installDir() const { return m_installDir; }
    const QString& supportDir() const { return m_supportDir; }
    QString configPath() const;

    QString daemonScript() const;
    bool daemonBundled() const;
    std::optional<QString> bundledNode() const;
    std::optional<QString> nodePath() const;
    // The process id of the gate this controller launched and has not seen end.
    std::optional<qint64> gateProcessId() const;

    // The key the phone needs to pair with the gate in use.
    std::optional<QString> pairingKey() const;
    std::optional<QString> cliPath(const QString& bin) const;

    void startHelperGate();
    void stopHelperGate();
    void refresh();
    void chooseUseExistingGate();
    void chooseOwnGate();
    void setLaunchAtLogin(bool enabled);
    void detectAgents();
    void signIn();
    void signOut();
    void registerDetectedAgents();

signals:
    void changed();

private:
    template <typename T, typename V> void publish(T& field, V&& value) {
        field = std::forward<V>(value);
        emit changed();
    }

    std::optional<QString> storedApiKey() const;
    QString scriptInBundle() const;
    bool writeHelperConfig(const QString& apiKey, const std::optional<QString>& room);
    QProcessEnvironment gateProcessEnvironment() const;
    void watch(std::unique_ptr<GateProcess> process);
    void forget(GateProcess* ended);
    QCoro::Task<> probeGates();

    // Whether work that waited may still publish: the controller exists and is not going away.
    static bool stillHere(const QPointer<GateController>& self);
    QString hostFingerprint();
    RelayClient::Connection relayConnection();
    QCoro::Task<> runSignIn();
    // Ends a sign-in that got nowhere; no message when the user cancelled.
    void failSignIn(const std::optional<QString>& message);
    void storeAccount(const RelayAuth& account);
    QCoro::Task<> runRegistration(QStringList agents, QString apiKey, QString machineName,
                                  QString fingerprint);

    GateEnvironment m_env;

    bool m_helperRunning = false;
    bool m_existingGateDetected = false;
    QString m_lastChecked;
    std::optional<QString> m_accountUserId;
    std::optional<QString> m_personalRoom;
    bool m_signingIn = false;
    std::optional<QString> m_lastError;
    bool m_launchAtLogin = false;
    bool m_useExistingGate = false;
    QStringList m_detectedAgents;
    QStringList m_registeredAgents;
    std::optional<QString> m_registrationError;

    QString m_installDir;
    QString m_supportDir;
    std::unique_ptr<GateProcess> m_process;
    // Gates sent SIGTERM whose end has not been seen yet: their exit still triggers a probe.
    std::vector<std::unique_ptr<GateProcess>> m_stoppingProcesses;
    QNetworkAccessManager m_network;
    GoogleAuth m_auth;
    bool m_tearingDown = false;
};

namespace SettingsKeys {
inline constexpr char kApiKey[] = "kv.apiKey";
inline constexpr char kUserId[] = "kv.userId";
inline constexpr char kRoom[] = "kv.personalRoom";
inline constexpr char kUseExisting[] = "kv.useExistingGate";
inline constexpr char kHostFP[] = "kv.hostFingerprint";
} // namespace SettingsKeys
