// A network plug-in for the console's tests: every type the console knows
// apart from "db", and one it does not know, with the parameters the console reads and writes. It
// talks to no hardware; it keeps the parameters and appends each set, start
// and stop to the file named by OPSDESK_TESTNETS_LOG, so that tests can see
// what the console wrote and in which order.
#include <plexord_plugin.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>
#include <string>

namespace {

struct Value
{
    int kind;
    std::string text;
    int number = 0;
};

struct Net
{
    const char* type;
    std::map<std::string, Value> params;
};

std::mutex g_logMutex;

void Log(const Net* net, const std::string& line)
{
    const char* path = std::getenv("OPSDESK_TESTNETS_LOG");
    if (!path || !*path)
        return;
    std::lock_guard lock(g_logMutex);
    if (std::FILE* f = std::fopen(path, "a")) {
        std::fprintf(f, "%s %s\n", net->type, line.c_str());
        std::fclose(f);
    }
}

constexpr int T = PXP_PARAM_TEXT;
constexpr int I = PXP_PARAM_INTEGER;
constexpr int F = PXP_PARAM_FLAG;

const pxp_param_t kDirectNet[] = {{"port", T},     {"speed", I}, {"parity", I},
                                  {"stopbit", I},  {"databits", I}, {"mode", I}};
const pxp_param_t kSuperLink[] = {{"path", T}, {"flag", I}, {"timeout", I}};
const pxp_param_t kLct1[] = {{"port", T}};
const pxp_param_t kPlexor[] = {{"address", T}, {"port", I}, {"username", T}, {"password", T}};
const pxp_param_t kModbusSerial[] = {{"port", T}, {"baudrate", I}, {"parity", I}, {"stopbits", I}, {"databits", I}};
const pxp_param_t kModbusTcp[] = {{"address", T}, {"port", I}};
const pxp_param_t kArcnet[] = {{"device", T}};
const pxp_param_t kTxif[] = {{"timeout", I}};
const pxp_param_t kDgtSerial[] = {{"port", T}, {"enable_sync_clock", F}, {"enable_co2", F}, {"co2_one_off_error", F}};

template <const char* Key, const pxp_param_t* Params, int Count>
void* Create(const pxp_host_t*)
{
    auto* net = new (std::nothrow) Net{Key, {}};
    if (!net)
        return nullptr;
    for (int i = 0; i < Count; ++i)
        net->params[Params[i].key] = Value{Params[i].kind, {}, 0};
    return net;
}

void Destroy(void* net)
{
    delete static_cast<Net*>(net);
}

int GetText(void* p, const char* key, const char** value)
{
    auto* net = static_cast<Net*>(p);
    auto it = net->params.find(key);
    if (it == net->params.end() || it->second.kind != T)
        return 1;
    *value = it->second.text.c_str();
    return 0;
}

int GetInteger(void* p, const char* key, int* value)
{
    auto* net = static_cast<Net*>(p);
    auto it = net->params.find(key);
    if (it == net->params.end() || it->second.kind == T)
        return 1;
    *value = it->second.number;
    return 0;
}

// Values the plug-in refuses, so that tests can see the console's answer:
// a text that begins with "bad:", and a TCP port outside 1..65535.
constexpr int kRefused = 2;

int SetText(void* p, const char* key, const char* value)
{
    auto* net = static_cast<Net*>(p);
    auto it = net->params.find(key);
    if (it == net->params.end() || it->second.kind != T)
        return 1;
    if (std::string(value).rfind("bad:", 0) == 0)
        return kRefused;
    it->second.text = value;
    Log(net, std::string("set ") + key + "=" + value);
    return 0;
}

int SetInteger(void* p, const char* key, int value)
{
    auto* net = static_cast<Net*>(p);
    auto it = net->params.find(key);
    if (it == net->params.end() || it->second.kind == T)
        return 1;
    if (std::string(key) == "port" && (value < 1 || value > 65535))
        return kRefused;
    it->second.number = value;
    Log(net, std::string("set ") + key + "=" + std::to_string(value));
    return 0;
}

int Start(void* p)
{
    Log(static_cast<Net*>(p), "start");
    return 0;
}

void Stop(void* p)
{
    Log(static_cast<Net*>(p), "stop");
}

// No hardware behind it: every request fails as an I/O failure.
int Perform(void*, pxp_request_t* requests, int count)
{
    for (int i = 0; i < count; ++i) {
        requests[i].result = PXP_FAIL_IO;
        requests[i].status = 1;
    }
    return 0;
}

const char* StatusText(int status)
{
    if (status == kRefused)
        return "value refused by the test plug-in";
    return status == 0 ? "OK" : "not supported by the test plug-in";
}

template <const char* Key, const pxp_param_t* Params, int Count>
constexpr pxp_type_t MakeType(const char* label)
{
    return pxp_type_t{Key,        label,      Params,   Count, &Create<Key, Params, Count>, &Destroy, &GetText,
                      &GetInteger, &SetText, &SetInteger, &Start, &Stop, &Perform, nullptr, &StatusText,
                      nullptr};
}

constexpr char kDirectNetKey[] = "directnet";
constexpr char kSl3Key[] = "sl3";
constexpr char kLct1Key[] = "lct1";
constexpr char kPlexorKey[] = "plexor";
constexpr char kRtuKey[] = "modbus/rtu";
constexpr char kTcpKey[] = "modbus/tcp";
constexpr char kXbeeKey[] = "modbus/xbee";
constexpr char kArcnetKey[] = "arcnet/dgt";
constexpr char kTxifKey[] = "txif";
constexpr char kDgtSerialKey[] = "dgt-serial";
// A type the console has no setup dialog for.
constexpr char kLoopbackKey[] = "test/loopback";

#define PARAMS(a) a, static_cast<int>(sizeof(a) / sizeof(a[0]))

const pxp_type_t kTypes[] = {
    MakeType<kDirectNetKey, PARAMS(kDirectNet)>("DirectNET"),
    MakeType<kSl3Key, PARAMS(kSuperLink)>("Superlink 3"),
    MakeType<kLct1Key, PARAMS(kLct1)>("LCT-1"),
    MakeType<kPlexorKey, PARAMS(kPlexor)>("Plexord"),
    MakeType<kRtuKey, PARAMS(kModbusSerial)>("MODBUS/RTU"),
    MakeType<kTcpKey, PARAMS(kModbusTcp)>("MODBUS/TCP"),
    MakeType<kXbeeKey, PARAMS(kModbusSerial)>("MODBUS/XBee"),
    MakeType<kArcnetKey, PARAMS(kArcnet)>("ARCNET/DGT"),
    MakeType<kTxifKey, PARAMS(kTxif)>("TXIF"),
    MakeType<kDgtSerialKey, PARAMS(kDgtSerial)>("DGT serial"),
    MakeType<kLoopbackKey, PARAMS(kLct1)>("Loopback"),
};

const pxp_type_t* const kTypeList[] = {&kTypes[0], &kTypes[1], &kTypes[2], &kTypes[3], &kTypes[4],
                                       &kTypes[5], &kTypes[6], &kTypes[7], &kTypes[8], &kTypes[9], &kTypes[10]};

const pxp_plugin_t kPlugin = {PXP_ABI_VERSION, "testnets", 11, kTypeList};

} // namespace

extern "C" PXP_EXPORT const pxp_plugin_t* plexord_plugin_describe(void)
{
    return &kPlugin;
}
