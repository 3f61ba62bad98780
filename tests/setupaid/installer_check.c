/*
 * Loads libsetupaid.so by name and calls every export the way an installer
 * does, printing one line per call: "<function> <result>". The library path
 * is the first argument; system files go below $LW_SETUPAID_ROOT.
 */
#include <dlfcn.h>
#include <stdio.h>
#include <string.h>

typedef int (*NoArgument)(void);
typedef int (*IndexArgument)(int);
typedef const char* (*NameFunction)(int);
typedef void (*CloseFunction)(void);
typedef int (*OneText)(const char*);
typedef int (*TwoTexts)(const char*, const char*);
typedef int (*SixTexts)(const char*, const char*, const char*, const char*, const char*,
                        const char*);

static int g_missing = 0;

/* dlsym answers an object pointer; POSIX lets it be copied into a function
 * pointer. */
#define LOAD(function, name)                            \
    do {                                                \
        void* symbol = dlsym(library, name);            \
        if (symbol == NULL) {                           \
            printf("missing %s\n", name);               \
            ++g_missing;                                \
        }                                               \
        memcpy(&(function), &symbol, sizeof(function)); \
    } while (0)

int main(int argc, char** argv) {
    if (argc != 3) {
        fprintf(stderr, "usage: installer_check LIBRARY FOLDER\n");
        return 2;
    }
    void* library = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
    if (library == NULL) {
        printf("dlopen %s\n", dlerror());
        return 1;
    }
    NoArgument openNic;
    LOAD(openNic, "OpenNic");
    NoArgument enumNic;
    LOAD(enumNic, "EnumNic");
    NoArgument nicCount;
    LOAD(nicCount, "NicCount");
    NameFunction nicName;
    LOAD(nicName, "NicName");
    IndexArgument nicEnable;
    LOAD(nicEnable, "NicEnable");
    CloseFunction closeNic;
    LOAD(closeNic, "CloseNic");
    OneText addPathVar;
    LOAD(addPathVar, "AddPathVar");
    TwoTexts setupFirewall;
    LOAD(setupFirewall, "SetupFirewall");
    NoArgument disableMsgSrvc;
    LOAD(disableMsgSrvc, "DisableMsgSrvc");
    SixTexts sendFeedback;
    LOAD(sendFeedback, "SendFeedback");
    if (g_missing > 0) return 1;

    printf("EnumNic-before-OpenNic %d\n", enumNic());
    printf("OpenNic %d\n", openNic());
    printf("EnumNic %d\n", enumNic());
    const int count = nicCount();
    printf("NicCount %d\n", count);
    for (int i = 0; i < count; ++i) printf("NicName %d %s\n", i, nicName(i));
    printf("NicName-out-of-range [%s]\n", nicName(count));
    printf("NicEnable-minus-one %d\n", nicEnable(-1));
    printf("NicEnable-count %d\n", nicEnable(count));
    if (count > 0) printf("NicEnable-0 %d\n", nicEnable(0));
    closeNic();
    printf("NicCount-after-CloseNic %d\n", nicCount());

    printf("AddPathVar %d\n", addPathVar(argv[2]));
    printf("AddPathVar-again %d\n", addPathVar(argv[2]));
    printf("AddPathVar-null %d\n", addPathVar(NULL));
    printf("SetupFirewall %d\n", setupFirewall("Line Watchman", "/usr/bin/linewatch"));
    printf("SetupFirewall-again %d\n", setupFirewall("Line Watchman", "/usr/bin/linewatch"));
    printf("DisableMsgSrvc %d\n", disableMsgSrvc());
    printf("SendFeedback-no-page %d\n", sendFeedback("", "LW", "1.1.7", "", "", "hello"));
    dlclose(library);
    return 0;
}
