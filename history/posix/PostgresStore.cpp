#include "history/ServerStore.h"

#include <cstdlib>
#include <optional>

#include <libpq-fe.h>

namespace {

constexpr const char* kSchema =
    "CREATE TABLE IF NOT EXISTS vostrel_records ("
    " \"record_id\" text PRIMARY KEY, \"started\" text COLLATE \"C\", \"ended\" text COLLATE \"C\", \"station\" text,"
    " \"operator\" text, \"version\" text, \"command\" text, \"slot\" text, \"label\" text, \"ports\" text, \"model\" text,"
    " \"imei\" text, \"seconds\" double precision, \"sent\" double precision, \"left\" double precision,"
    " \"back\" double precision, \"settled\" double precision, \"outcome\" text, \"status\" integer, \"message\" text,"
    " \"transcript\" text);"
    "CREATE INDEX IF NOT EXISTS vostrel_records_imei ON vostrel_records (\"imei\", \"started\");"
    "CREATE INDEX IF NOT EXISTS vostrel_records_slot ON vostrel_records (\"slot\", \"started\");"
    "CREATE INDEX IF NOT EXISTS vostrel_records_started ON vostrel_records (\"started\");";
// Any number: the lock that makes the first benches to meet an empty database make its schema once.
constexpr const char* kSchemaLock = "SELECT pg_advisory_xact_lock(5653545201)";

std::string Placeholder(size_t n)
{
    return "$" + std::to_string(n);
}

// A result, cleared with its scope.
class CResult {
public:
    explicit CResult(PGresult* p) : m_p(p) {}
    ~CResult() { PQclear(m_p); }
    CResult(const CResult&) = delete;
    CResult& operator=(const CResult&) = delete;
    PGresult* Get() const { return m_p; }
    bool Is(ExecStatusType eStatus) const { return m_p && PQresultStatus(m_p) == eStatus; }

private:
    PGresult* m_p;
};

// A field as a parameter's text; nothing for null.
std::optional<std::string> FieldText(const CHistoryField& field, const nlohmann::json& record)
{
    const auto it = record.find(field.pszName);
    if (it == record.end() || it->is_null())
        return std::nullopt;
    if (it->is_string())
        return it->get<std::string>();
    return it->dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

nlohmann::json FieldValue(const CHistoryField& field, const char* psz)
{
    switch (field.eType) {
    case EHistoryType::kReal: return std::strtod(psz, nullptr);
    case EHistoryType::kInteger: return std::strtoll(psz, nullptr, 10);
    case EHistoryType::kText: return psz;
    case EHistoryType::kTextList: break;
    }
    nlohmann::json list = nlohmann::json::parse(psz, nullptr, false);
    return list.is_array() ? list : nlohmann::json::array();
}


// The records in one table, vostrel_records; its schema is made by the first bench that finds
// none, under a lock that the others wait for.
class CPostgresStore : public IHistoryStore {
public:
    CPostgresStore(pg_conn* pConn, std::string strName) : m_pConn(pConn), m_strName(std::move(strName)) {}
    ~CPostgresStore() override { PQfinish(m_pConn); }
    CPostgresStore(const CPostgresStore&) = delete;
    CPostgresStore& operator=(const CPostgresStore&) = delete;

    std::string Name() const override { return m_strName; }
    std::optional<std::string> Append(const std::vector<nlohmann::json>& records) override;
    std::optional<std::string> Query(const CHistoryFilter& filter, std::vector<nlohmann::json>& records) override;
    std::optional<std::string> MakeSchema();
    std::string Problem(const std::string& strWhat) const;

private:
    std::optional<std::string> Exec(const char* pszSql);

    pg_conn* m_pConn;
    std::string m_strName;
};

} // namespace

std::string ServerAddressShown(const std::string& strAddress)
{
    char* pszError = nullptr;
    PQconninfoOption* pOptions = PQconninfoParse(strAddress.c_str(), &pszError);
    PQfreemem(pszError);
    if (!pOptions)
        return "the PostgreSQL server (its address cannot be read)";
    std::string strUser, strHost, strPort, strDb;
    for (PQconninfoOption* p = pOptions; p->keyword; ++p) {
        const std::string strKey = p->keyword, strValue = p->val ? p->val : "";
        if (strKey == "user")
            strUser = strValue;
        else if (strKey == "host")
            strHost = strValue;
        else if (strKey == "port")
            strPort = strValue;
        else if (strKey == "dbname")
            strDb = strValue;
    }
    PQconninfoFree(pOptions);
    return "postgresql://" + (strUser.empty() ? "" : strUser + "@") + (strHost.find('/') == std::string::npos ? strHost : "") +
           (strPort.empty() ? "" : ":" + strPort) + "/" + strDb + (strHost.find('/') != std::string::npos ? "?host=" + strHost : "");
}

std::unique_ptr<IHistoryStore> ConnectServerStore(const std::string& strAddress, std::string& strError, int nTimeoutS)
{
    // libpq waits for ever by default; the address's own connect_timeout, later in the list, wins.
    const std::string strTimeout = std::to_string(nTimeoutS);
    const char* const keywords[] = {"connect_timeout", "application_name", "dbname", nullptr};
    const char* const values[] = {strTimeout.c_str(), "vostrel-cli", strAddress.c_str(), nullptr};
    pg_conn* pConn = PQconnectdbParams(keywords, values, 1);
    auto pStore = std::make_unique<CPostgresStore>(pConn, ServerAddressShown(strAddress));
    if (!pConn || PQstatus(pConn) != CONNECTION_OK) {
        strError = pStore->Problem("cannot be reached");
        return nullptr;
    }
    if (std::optional<std::string> strProblem = pStore->MakeSchema()) {
        strError = *strProblem;
        return nullptr;
    }
    return pStore;
}

std::string CPostgresStore::Problem(const std::string& strWhat) const
{
    std::string strCause = m_pConn ? PQerrorMessage(m_pConn) : "out of memory";
    while (!strCause.empty() && (strCause.back() == '\n' || strCause.back() == ' '))
        strCause.pop_back();
    // libpq's messages run over lines ("...failed: ...\n\tIs the server running..."): one line here.
    std::string strLine;
    for (char ch : strCause) {
        if (ch != '\n' && ch != '\t')
            strLine += ch;
        else if (!strLine.empty() && strLine.back() != ' ')
            strLine += ' ';
    }
    strCause = strLine;
    return "the history " + m_strName + " " + strWhat + (strCause.empty() ? "" : ": " + strCause);
}

std::optional<std::string> CPostgresStore::Exec(const char* pszSql)
{
    CResult result(PQexec(m_pConn, pszSql));
    if (!result.Is(PGRES_COMMAND_OK) && !result.Is(PGRES_TUPLES_OK))
        return Problem("cannot be used");
    return std::nullopt;
}

std::optional<std::string> CPostgresStore::MakeSchema()
{
    std::optional<std::string> strProblem = Exec("BEGIN");
    if (!strProblem)
        strProblem = Exec(kSchemaLock);
    if (!strProblem)
        strProblem = Exec(kSchema);
    if (strProblem) {
        Exec("ROLLBACK");
        return strProblem;
    }
    return Exec("COMMIT");
}

std::optional<std::string> CPostgresStore::Append(const std::vector<nlohmann::json>& records)
{
    std::string strSql = "INSERT INTO vostrel_records (" + ColumnList() + ") VALUES (";
    size_t nColumn = 0;
    for (const CHistoryField& field : kHistoryFields) {
        const char* pszType = field.eType == EHistoryType::kReal      ? "::double precision"
                              : field.eType == EHistoryType::kInteger ? "::integer"
                                                                      : "";
        strSql += (nColumn ? ", " : "") + Placeholder(nColumn + 1) + pszType;
        ++nColumn;
    }
    strSql += ") ON CONFLICT (\"record_id\") DO NOTHING";
    std::optional<std::string> strProblem = Exec("BEGIN");
    for (size_t n = 0; !strProblem && n < records.size(); ++n) {
        std::vector<std::optional<std::string>> texts;
        std::vector<const char*> params;
        for (const CHistoryField& field : kHistoryFields)
            texts.push_back(FieldText(field, records[n]));
        for (const std::optional<std::string>& text : texts)
            params.push_back(text ? text->c_str() : nullptr);
        CResult result(PQexecParams(m_pConn, strSql.c_str(), static_cast<int>(params.size()), nullptr, params.data(),
                                    nullptr, nullptr, 0));
        if (!result.Is(PGRES_COMMAND_OK))
            strProblem = Problem("cannot be written");
    }
    if (!strProblem)
        strProblem = Exec("COMMIT");
    if (strProblem)
        Exec("ROLLBACK");
    return strProblem;
}

std::optional<std::string> CPostgresStore::Query(const CHistoryFilter& filter, std::vector<nlohmann::json>& records)
{
    std::vector<std::string> params;
    const std::string strSql = "SELECT " + ColumnList() + " FROM vostrel_records" + QueryTail(filter, Placeholder, params);
    std::vector<const char*> values;
    for (const std::string& str : params)
        values.push_back(str.c_str());
    CResult result(PQexecParams(m_pConn, strSql.c_str(), static_cast<int>(values.size()), nullptr, values.data(), nullptr,
                                nullptr, 0));
    if (!result.Is(PGRES_TUPLES_OK))
        return Problem("cannot be read");
    for (int nRow = 0; nRow < PQntuples(result.Get()); ++nRow) {
        nlohmann::json record = nlohmann::json::object();
        int nColumn = 0;
        for (const CHistoryField& field : kHistoryFields) {
            record[field.pszName] = PQgetisnull(result.Get(), nRow, nColumn)
                                        ? nlohmann::json(nullptr)
                                        : FieldValue(field, PQgetvalue(result.Get(), nRow, nColumn));
            ++nColumn;
        }
        records.push_back(std::move(record));
    }
    return std::nullopt;
}
