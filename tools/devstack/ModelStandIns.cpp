#include "ModelStandIns.h"

#include "Http.h"

#include <QJsonDocument>
#include <QRegularExpression>

#include <algorithm>
#include <optional>
#include <utility>
#include <vector>

namespace {

constexpr auto kCommand = "rm -rf victim";
constexpr auto kWhy = "Remove the folder victim";
constexpr auto kAnswer = "Done.";

using Event = std::pair<QByteArray, QJsonObject>; // event name (none for Gemini), data

// Chat Completions ends its stream with a "[DONE]" line.
QHttpServerResponse stream(const std::vector<Event>& events, bool done = false) {
    QByteArray body;
    for (const auto& [name, data] : events) {
        if (!name.isEmpty()) {
            body += "event: " + name + '\n';
        }
        body += "data: " + QJsonDocument(data).toJson(QJsonDocument::Compact) + "\n\n";
    }
    if (done) {
        body += "data: [DONE]\n\n";
    }
    return QHttpServerResponse("text/event-stream", body);
}

bool offers(const QJsonArray& tools, const char* key, const QString& name) {
    return std::ranges::any_of(
        tools, [&](const QJsonValue& tool) { return tool[key].toString() == name; });
}

bool hasPart(const QJsonValue& parts, const char* key, const QString& value = {}) {
    return std::ranges::any_of(parts.toArray(), [&](const QJsonValue& part) {
        return value.isEmpty() ? part.toObject().contains(key) : part[key].toString() == value;
    });
}

QJsonObject usage() {
    return {{"input_tokens", 1}, {"output_tokens", 1}};
}

// A call of one of Claude Code's tools: its name and its input.
using ToolCall = std::pair<QString, QJsonObject>;

// The Messages API: one content block, either a tool's call or a text.
std::vector<Event> messageEvents(const QString& model, const std::optional<ToolCall>& call) {
    const QJsonObject message{{"id", "msg_" + http::randomHex(8)},
                              {"type", "message"},
                              {"role", "assistant"},
                              {"model", model},
                              {"content", QJsonArray()},
                              {"stop_reason", QJsonValue::Null},
                              {"usage", usage()}};
    const QJsonObject block = call ? QJsonObject{{"type", "tool_use"},
                                                 {"id", "toolu_" + http::randomHex(8)},
                                                 {"name", call->first},
                                                 {"input", QJsonObject()}}
                                   : QJsonObject{{"type", "text"}, {"text", ""}};
    const QJsonObject delta =
        call ? QJsonObject{{"type", "input_json_delta"},
                           {"partial_json",
                            QString::fromUtf8(
                                QJsonDocument(call->second).toJson(QJsonDocument::Compact))}}
             : QJsonObject{{"type", "text_delta"}, {"text", kAnswer}};
    return {
        {"message_start", {{"type", "message_start"}, {"message", message}}},
        {"content_block_start",
         {{"type", "content_block_start"}, {"index", 0}, {"content_block", block}}},
        {"content_block_delta", {{"type", "content_block_delta"}, {"index", 0}, {"delta", delta}}},
        {"content_block_stop", {{"type", "content_block_stop"}, {"index", 0}}},
        {"message_delta",
         {{"type", "message_delta"},
          {"delta", QJsonObject{{"stop_reason", call ? "tool_use" : "end_turn"}}},
          {"usage", QJsonObject{{"output_tokens", 1}}}}},
        {"message_stop", {{"type", "message_stop"}}},
    };
}

// Claude Code's script: `rm -rf victim`, twice when the prompt says "twice" (a second identical
// call in the same session), then the file named after "then write " in the prompt, if any.
std::optional<ToolCall> nextCall(const QJsonArray& turns) {
    const auto results = std::ranges::count_if(turns, [](const QJsonValue& turn) {
        return hasPart(turn["content"], "type", "tool_result");
    });
    const QString asked =
        turns.isEmpty()
            ? QString()
            : QString::fromUtf8(
                  QJsonDocument(turns.first().toObject()).toJson(QJsonDocument::Compact));
    const qsizetype removals = asked.contains("twice") ? 2 : 1;
    const QString file = QRegularExpression(R"(then write ([^\s"\\]+))").match(asked).captured(1);
    if (results < removals) {
        return ToolCall{"Bash", {{"command", kCommand}, {"description", kWhy}}};
    }
    if (results == removals && !file.isEmpty()) {
        return ToolCall{"Write", {{"file_path", file}, {"content", kAnswer}}};
    }
    return std::nullopt;
}

// The Responses API: one output item, a call of Codex's exec_command that asks to run outside
// its sandbox (so Codex asks first), or a message.
std::vector<Event> responseEvents(const QString& model, bool callTool) {
    const QString id = "resp_" + http::randomHex(8);
    const QJsonObject arguments{
        {"cmd", kCommand}, {"sandbox_permissions", "require_escalated"}, {"justification", kWhy}};
    const QJsonObject item =
        callTool ? QJsonObject{{"type", "function_call"},
                               {"id", "fc_" + http::randomHex(8)},
                               {"call_id", "call_" + http::randomHex(8)},
                               {"name", "exec_command"},
                               {"arguments", QString::fromUtf8(QJsonDocument(arguments).toJson(
                                                 QJsonDocument::Compact))},
                               {"status", "completed"}}
                 : QJsonObject{{"type", "message"},
                               {"id", "msg_" + http::randomHex(8)},
                               {"role", "assistant"},
                               {"status", "completed"},
                               {"content", QJsonArray{QJsonObject{{"type", "output_text"},
                                                                  {"text", kAnswer},
                                                                  {"annotations", QJsonArray()}}}}};
    QJsonObject response{{"id", id},
                         {"object", "response"},
                         {"status", "in_progress"},
                         {"model", model},
                         {"output", QJsonArray()}};
    std::vector<Event> events{
        {"response.created", {{"type", "response.created"}, {"response", response}}}};
    for (const char* step : {"response.output_item.added", "response.output_item.done"}) {
        events.push_back({step, {{"type", step}, {"output_index", 0}, {"item", item}}});
    }
    response["status"] = "completed";
    response["output"] = QJsonArray{item};
    response["usage"] =
        QJsonObject{{"input_tokens", 1},
                    {"output_tokens", 1},
                    {"total_tokens", 2},
                    {"input_tokens_details", QJsonObject{{"cached_tokens", 0}}},
                    {"output_tokens_details", QJsonObject{{"reasoning_tokens", 0}}}};
    events.push_back(
        {"response.completed", {{"type", "response.completed"}, {"response", response}}});
    return events;
}

QJsonObject geminiAnswer(bool callTool) {
    const QJsonObject part =
        callTool ? QJsonObject{{"functionCall",
                                QJsonObject{{"name", "run_shell_command"},
                                            {"args", QJsonObject{{"command", kCommand},
                                                                 {"description", kWhy}}}}}}
                 : QJsonObject{{"text", kAnswer}};
    return {
        {"candidates", QJsonArray{QJsonObject{
                           {"content", QJsonObject{{"role", "model"}, {"parts", QJsonArray{part}}}},
                           {"finishReason", "STOP"},
                           {"index", 0}}}},
        {"usageMetadata", QJsonObject{{"promptTokenCount", 1},
                                      {"candidatesTokenCount", 1},
                                      {"totalTokenCount", 2}}}};
}

// The Chat Completions API, streamed: one chunk with the shell tool's call (the arguments
// whole) or with a text, then the finish reason.
std::vector<Event> chatEvents(const QString& model, bool callTool) {
    const QString id = "chatcmpl-" + http::randomHex(8);
    const auto chunk = [&](const QJsonObject& delta, const QJsonValue& finish) {
        return Event{
            {},
            {{"id", id},
             {"object", "chat.completion.chunk"},
             {"created", 0},
             {"model", model},
             {"choices",
              QJsonArray{QJsonObject{{"index", 0}, {"delta", delta}, {"finish_reason", finish}}}}}};
    };
    const QJsonObject arguments{{"command", kCommand}, {"description", kWhy}};
    const QJsonObject delta =
        callTool ? QJsonObject{{"role", "assistant"},
                               {"tool_calls",
                                QJsonArray{QJsonObject{
                                    {"index", 0},
                                    {"id", "call_" + http::randomHex(8)},
                                    {"type", "function"},
                                    {"function",
                                     QJsonObject{{"name", "bash"},
                                                 {"arguments",
                                                  QString::fromUtf8(QJsonDocument(arguments).toJson(
                                                      QJsonDocument::Compact))}}}}}}}
                 : QJsonObject{{"role", "assistant"}, {"content", kAnswer}};
    auto last = chunk(QJsonObject(), callTool ? "tool_calls" : "stop");
    last.second.insert(
        "usage", QJsonObject{{"prompt_tokens", 1}, {"completion_tokens", 1}, {"total_tokens", 2}});
    return {chunk(delta, QJsonValue::Null), last};
}

} // namespace

std::optional<QJsonObject> ModelStandIns::keep(const char* api, const QHttpServerRequest& request) {
    auto body = http::jsonObject(request.body());
    if (body) {
        m_requests.append(QJsonObject{{"api", api}, {"body", *body}});
    }
    return body;
}

QHttpServerResponse ModelStandIns::messages(const QHttpServerRequest& request) {
    const auto body = keep("messages", request);
    if (!body) {
        return http::error(http::Status::BadRequest, "the body must be a JSON object");
    }
    const auto call = offers(body->value("tools").toArray(), "name", "Bash")
                          ? nextCall(body->value("messages").toArray())
                          : std::nullopt;
    return stream(messageEvents(body->value("model").toString(), call));
}

QHttpServerResponse ModelStandIns::responses(const QHttpServerRequest& request) {
    const auto body = keep("responses", request);
    if (!body) {
        return http::error(http::Status::BadRequest, "the body must be a JSON object");
    }
    const bool answered = hasPart(body->value("input"), "type", "function_call_output");
    const bool callTool =
        !answered && offers(body->value("tools").toArray(), "name", "exec_command");
    return stream(responseEvents(body->value("model").toString(), callTool));
}

QHttpServerResponse ModelStandIns::gemini(const QString& modelAndMethod,
                                          const QHttpServerRequest& request) {
    const auto body = keep("gemini", request);
    if (!body) {
        return http::error(http::Status::BadRequest, "the body must be a JSON object");
    }
    // Gemini CLI's side requests (summaries, routing) are not streamed and get a text.
    if (!modelAndMethod.endsWith(QLatin1String(":streamGenerateContent"))) {
        return http::json(geminiAnswer(false));
    }
    const QJsonArray turns = body->value("contents").toArray();
    const bool answered = !turns.isEmpty() && hasPart(turns.last()["parts"], "functionResponse");
    const bool shell =
        std::ranges::any_of(body->value("tools").toArray(), [](const QJsonValue& tool) {
            return offers(tool["functionDeclarations"].toArray(), "name", "run_shell_command");
        });
    return stream({{{}, geminiAnswer(!answered && shell)}});
}

QHttpServerResponse ModelStandIns::chat(const QHttpServerRequest& request) {
    const auto body = keep("chat", request);
    if (!body) {
        return http::error(http::Status::BadRequest, "the body must be a JSON object");
    }
    const QJsonArray turns = body->value("messages").toArray();
    const bool answered = std::ranges::any_of(
        turns, [](const QJsonValue& turn) { return turn["role"].toString() == "tool"; });
    const bool shell =
        std::ranges::any_of(body->value("tools").toArray(), [](const QJsonValue& tool) {
            return tool["function"]["name"].toString() == "bash";
        });
    return stream(chatEvents(body->value("model").toString(), !answered && shell), true);
}

QHttpServerResponse ModelStandIns::recorded() const {
    return http::json({{"requests", m_requests}});
}
