#pragma once

// A registry that passes every call on to another, records it, and can make
// chosen calls fail or throw: the tests' way to see which arguments the
// settings routines pass and that every key they open is closed exactly once.

#include "registry/registry.h"

#include <cstdint>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace quillon::test {

using namespace quillon::registry;

class RecordingRegistry : public Registry
{
public:
    struct Call
    {
        std::string op; // "open", "query", "create", "set", "close"
        Key key = 0;    // the root for open and create
        std::string path;
        std::string name;
        std::uint32_t options = 0;
        std::uint32_t access = 0;
        std::uint32_t sizeIn = 0;
        bool bufferZeroed = false;
        ValueType type = RegNone;
        std::vector<std::uint8_t> data;
        Result result = Success;
    };

    explicit RecordingRegistry(Registry& inner) : m_inner(inner) {}

    // Results to give instead of calling on; and calls that throw.
    std::optional<Result> failOpen, failQuery, failCreate, failSet;
    bool throwOnSet = false;
    // openKey with access rights beyond these fails with AccessDenied, as a
    // key whose security grants only these would.
    std::uint32_t grantedAccess = 0xFFFFFFFFu;

    std::vector<Call> calls;

    Result openKey(Key root, const std::string& path, std::uint32_t options, std::uint32_t access,
                   Key& key) override
    {
        Call call = make("open", root, path, {});
        call.options = options;
        call.access = access;
        if ((access & ~grantedAccess) != 0)
            call.result = AccessDenied;
        else if (failOpen)
            call.result = *failOpen;
        else
            call.result = m_inner.openKey(root, path, options, access, key);
        if (call.result == Success)
            ++m_handles[key];
        calls.push_back(call);
        return call.result;
    }

    Result queryValue(Key key, const std::string& name, ValueType* type, std::uint8_t* data,
                      std::uint32_t* size) override
    {
        Call call = make("query", key, {}, name);
        call.sizeIn = size != nullptr ? *size : 0;
        call.bufferZeroed = data != nullptr && size != nullptr;
        for (std::uint32_t i = 0; call.bufferZeroed && i < *size; ++i)
            call.bufferZeroed = data[i] == 0;
        call.result = failQuery ? *failQuery : m_inner.queryValue(key, name, type, data, size);
        calls.push_back(call);
        return call.result;
    }

    Result createKey(Key root, const std::string& path, std::uint32_t options, std::uint32_t access,
                     Key& key, std::uint32_t* disposition) override
    {
        Call call = make("create", root, path, {});
        call.options = options;
        call.access = access;
        call.result = failCreate ? *failCreate
                                 : m_inner.createKey(root, path, options, access, key, disposition);
        if (call.result == Success)
            ++m_handles[key];
        calls.push_back(call);
        return call.result;
    }

    Result setValue(Key key, const std::string& name, ValueType type, const std::uint8_t* data,
                    std::uint32_t size) override
    {
        Call call = make("set", key, {}, name);
        call.type = type;
        call.data.assign(data, data + size);
        calls.push_back(call);
        if (throwOnSet)
            throw std::runtime_error("the store broke");
        calls.back().result = failSet ? *failSet : m_inner.setValue(key, name, type, data, size);
        return calls.back().result;
    }

    Result closeKey(Key key) override
    {
        Call call = make("close", key, {}, {});
        call.result = m_inner.closeKey(key);
        ++m_closes[key];
        calls.push_back(call);
        return call.result;
    }

    // True when every handle handed out was closed exactly once and nothing
    // else was closed.
    bool everyKeyClosedOnce() const { return m_closes == m_handles; }
    int closes() const
    {
        int total = 0;
        for (const auto& [key, count] : m_closes)
            total += count;
        return total;
    }

    std::vector<std::string> ops() const
    {
        std::vector<std::string> result;
        for (const Call& call : calls)
            result.push_back(call.op);
        return result;
    }

private:
    static Call make(std::string op, Key key, std::string path, std::string name)
    {
        Call call;
        call.op = std::move(op);
        call.key = key;
        call.path = std::move(path);
        call.name = std::move(name);
        return call;
    }

    Registry& m_inner;
    std::map<Key, int> m_handles;
    std::map<Key, int> m_closes;
};

} // namespace quillon::test
