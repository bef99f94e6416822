/*
 * The window-message vocabulary shared by Seekwell and its hosts.
 *
 * Seekwell registers these 17 names when it is loaded. A name's identifier is
 * a pure function of its bytes, so every module and process that includes
 * this header computes the same identifier without linking anything:
 *   identifier = 0xC000 + (32-bit FNV-1a of the name's bytes) mod 0x4000
 * Valid C and C++.
 */
#ifndef SEEKWELL_WINDOW_MESSAGES_H
#define SEEKWELL_WINDOW_MESSAGES_H

#define SEEKWELL_WM_KROVA_CONNECT "MarlixKROVAConnect"
#define SEEKWELL_WM_KROVA_DISCONNECT "MarlixKROVADisconnect"
#define SEEKWELL_WM_KROVA_SEMANTICS "MarlixKROVASemantics"
#define SEEKWELL_WM_KROVA_INPUT_SEMANTICS "MarlixKROVAInputSemantics"
#define SEEKWELL_WM_KROVA_SENSOR_DATA "MarlixKROVASensorData"
#define SEEKWELL_WM_KROVA_SENSOR_ENABLE "MarlixKROVASensorEnable"
#define SEEKWELL_WM_KROVA_SENSOR_DISABLE "MarlixKROVASensorDisable"
#define SEEKWELL_WM_KROVA_SERVER_LOCK "MarlixKROVAServerLock"
#define SEEKWELL_WM_KROVA_CLIENT_UPDATE "MarlixKROVAClientUpdate"
#define SEEKWELL_WM_MMFTP_SENDING "MarlixMMFTPSending"
#define SEEKWELL_WM_IMAGE_TP_UPDATE "MarlixImageTPUpdate"
#define SEEKWELL_WM_IMAGE_TP_UPDATE2 "MarlixImageTPUpdate2"
#define SEEKWELL_WM_IMAGE_TP_CHANGE "MarlixImageTPChange"
#define SEEKWELL_WM_AUDIO_TP_UPDATE "MarlixAudioTPUpdate"
#define SEEKWELL_WM_KROVA_PRODUCT_ID "MarlixKROVAProductID"
#define SEEKWELL_WM_KROVA_BATTERY_LEVEL "MarlixKROVABatteryLevel"
#define SEEKWELL_WM_KROVA_REMOTE_NOTIFY "MarlixKROVARemoteNotify"

/* Number of names, and all of them in the order Seekwell registers them, as an
 * initialiser: const char* const names[SEEKWELL_WM_NAME_COUNT] = SEEKWELL_WM_NAMES; */
#define SEEKWELL_WM_NAME_COUNT 17
#define SEEKWELL_WM_NAMES                                                                                      \
    {                                                                                                          \
        SEEKWELL_WM_KROVA_CONNECT, SEEKWELL_WM_KROVA_DISCONNECT, SEEKWELL_WM_KROVA_SEMANTICS,                  \
            SEEKWELL_WM_KROVA_INPUT_SEMANTICS, SEEKWELL_WM_KROVA_SENSOR_DATA, SEEKWELL_WM_KROVA_SENSOR_ENABLE, \
            SEEKWELL_WM_KROVA_SENSOR_DISABLE, SEEKWELL_WM_KROVA_SERVER_LOCK, SEEKWELL_WM_KROVA_CLIENT_UPDATE,  \
            SEEKWELL_WM_MMFTP_SENDING, SEEKWELL_WM_IMAGE_TP_UPDATE, SEEKWELL_WM_IMAGE_TP_UPDATE2,              \
            SEEKWELL_WM_IMAGE_TP_CHANGE, SEEKWELL_WM_AUDIO_TP_UPDATE, SEEKWELL_WM_KROVA_PRODUCT_ID,            \
            SEEKWELL_WM_KROVA_BATTERY_LEVEL, SEEKWELL_WM_KROVA_REMOTE_NOTIFY                                   \
    }

/* Identifiers live in the range of registered messages, 0xC000..0xFFFF. */
#define SEEKWELL_WM_FIRST_ID 0xC000u
#define SEEKWELL_WM_ID_SPAN 0x4000u
#define SEEKWELL_FNV1A_OFFSET_BASIS 2166136261u
#define SEEKWELL_FNV1A_PRIME 16777619u

static inline unsigned int SeekwellWindowMessageId(const char* name)
{
    unsigned long hash = SEEKWELL_FNV1A_OFFSET_BASIS;
    const unsigned char* byte = (const unsigned char*)name;
    for (; *byte != 0; ++byte) {
        hash = ((hash ^ *byte) * SEEKWELL_FNV1A_PRIME) & 0xFFFFFFFFul;
    }
    return SEEKWELL_WM_FIRST_ID + (unsigned int)(hash % SEEKWELL_WM_ID_SPAN);
}

#endif /* SEEKWELL_WINDOW_MESSAGES_H */
