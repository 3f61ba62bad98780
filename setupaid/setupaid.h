#ifndef SETUPAID_SETUPAID_H
#define SETUPAID_SETUPAID_H

/*
 * libsetupaid: the installer helper library of Line Watchman.
 *
 * Package scripts and administrators' own programs load it (dlopen or link)
 * and call these functions from one thread. Texts are UTF-8.
 *
 * Connections, in this order: OpenNic, EnumNic, then NicCount, NicName and
 * NicEnable as often as needed, and finally CloseNic.
 *
 * Every system file the library reads or writes (/etc/samba/smb.conf,
 * /etc/profile.d, /etc/environment.d, /etc/nftables.conf, ...) is taken below
 * the folder named by the environment variable LW_SETUPAID_ROOT when it is
 * set and not empty, so that a test or an image build can work on a copy of
 * the system tree.
 */

#ifdef __cplusplus
extern "C" {
#endif

#define SETUPAID_EXPORT __attribute__((visibility("default")))

/* Result codes of every function that answers one. */
enum {
    SETUPAID_DONE = 0,
    SETUPAID_NOT_APPLICABLE = 1,    /* never on Linux: kept for the numbering */
    SETUPAID_NOTHING_TO_DO = 2,     /* nothing to do, or the system part is absent */
    SETUPAID_CANNOT_INITIALISE = 3, /* never on Linux: kept for the numbering */
    SETUPAID_NOT_AVAILABLE = 4,     /* a needed component is not installed */
    SETUPAID_ACCESS_DENIED = 5,
    SETUPAID_FAILED = 6 /* any other failure, or a bad argument */
};

/* Opens the connection list. Answers a result code. */
SETUPAID_EXPORT int OpenNic(void);
/* Lists the IP-enabled connections afresh (loopback left out). */
SETUPAID_EXPORT int EnumNic(void);
/* Number of listed connections; 0 before the first EnumNic and after CloseNic. */
SETUPAID_EXPORT int NicCount(void);
/* Name of a listed connection, at most 64 bytes cut on a character boundary;
 * empty for an index out of range. Valid until the next NicName call. */
SETUPAID_EXPORT const char* NicName(int index);
/* Switches NetBIOS on for a listed connection through Samba, narrowing no
 * interface list. */
SETUPAID_EXPORT int NicEnable(int index);
/* Closes the list. */
SETUPAID_EXPORT void CloseNic(void);

/* Adds a folder (absolute path) to the system search path of new sessions.
 * Refuses (6) a folder a user other than root could put a program in. */
SETUPAID_EXPORT int AddPathVar(const char* folder);
/* Lets file and printer sharing (Samba) through the active firewall, for now
 * and for later boots together, or not at all (then answers why on standard
 * error). */
SETUPAID_EXPORT int SetupFirewall(const char* applicationName, const char* imagePath);
/* There is no messenger service on Linux: answers SETUPAID_NOTHING_TO_DO. */
SETUPAID_EXPORT int DisableMsgSrvc(void);
/* Opens the feedback page with the installer's data in the browser of the
 * desktop user. An empty page address does nothing. Called as root for no
 * desktop user (neither PKEXEC_UID nor SUDO_UID), starts nothing and answers
 * SETUPAID_ACCESS_DENIED. */
SETUPAID_EXPORT int SendFeedback(const char* pageAddress, const char* p, const char* v,
                                 const char* e, const char* r, const char* message);

#ifdef __cplusplus
}
#endif

#endif
