#pragma once

#include <QHttpServerRequest>
#include <QHttpServerResponse>
#include <QJsonArray>
#include <QString>

#include <optional>

// Scripted stand-ins of the model APIs the coding agents talk to, so that the real agents run
// with no account: a turn that offers the agent's shell tool is answered with a call of it that
// removes the folder "victim" (for Claude Code, as its prompt asks: twice, then a file written); a
// turn that carries a tool's result, or offers no shell, gets a short text. Every request body is
// kept, for a test to read what the agent told its model.
class ModelStandIns {
public:
    // Claude Code: POST /v1/messages, streamed as the Messages API's server-sent events.
    QHttpServerResponse messages(const QHttpServerRequest& request);
    // Codex: POST /v1/responses, streamed as the Responses API's server-sent events.
    QHttpServerResponse responses(const QHttpServerRequest& request);
    // Gemini CLI: POST /v1beta/models/<model>:streamGenerateContent (or :generateContent).
    QHttpServerResponse gemini(const QString& modelAndMethod, const QHttpServerRequest& request);
    // Copilot CLI and OpenCode: POST /v1/chat/completions, streamed as Chat Completions chunks.
    QHttpServerResponse chat(const QHttpServerRequest& request);
    // GET /devstack/model-requests: {"requests": [{"api", "body"}, ...]}, oldest first.
    QHttpServerResponse recorded() const;

private:
    std::optional<QJsonObject> keep(const char* api, const QHttpServerRequest& request);

    QJsonArray m_requests;
};
