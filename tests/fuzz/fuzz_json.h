// JSON as the fuzz targets' checks read it: by walking a parsed value's members by hand,
// never through the lookups that the code under test calls.
#pragma once

#include <cJSON.h>

inline bool fuzz_is(const cJSON* value, int type)
{
    return value && (value->type & 0xff) == type;
}

// The member KEY of OBJECT as the daemon's files are to be read: the first member whose
// name equals KEY when ASCII letters are taken without their case; none when OBJECT is
// no object (or none) or has no such member.
inline const cJSON* fuzz_member(const cJSON* object, const char* key)
{
    if (!fuzz_is(object, cJSON_Object))
        return nullptr;
    for (const cJSON* m = object->child; m; m = m->next) {
        const char* a = m->string;
        const char* b = key;
        if (!a)
            continue;
        auto fold = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; };
        while (*a && fold(*a) == fold(*b)) {
            a++;
            b++;
        }
        if (fold(*a) == fold(*b))
            return m;
    }
    return nullptr;
}
