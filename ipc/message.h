// The signed instruction message the programs send each other: who sends, to which channel, the
// instruction, a free text, the sender's time value and a SHA-512 over all of it plus a salt that
// every program carries. Receivers accept a message only within 2 seconds of its time value.
#pragma once
#include <cstdint>

// Every field is a separately allocated NUL-terminated text owned by the record; a parsed record
// may have any of them missing (NULL).
struct TessarionMessage {
    char* From;
    char* To;
    char* Instruction;
    char* Message;     // always "" in the messages this system builds
    char* TimeValue0;  // TimeValue characters 0-2
    char* TimeValue1;  // 3-6
    char* TimeValue2;  // 7-10
    char* TimeValue3;  // 11-15
    char* HashValue;   // 128 upper-case hex digits
};

inline constexpr char kInstructionStart[] = "TessarionInstruction_Start";
inline constexpr char kInstructionStop[] = "TessarionInstruction_Stop";
inline constexpr char kInstructionRestart[] = "TessarionInstruction_Restart";
inline constexpr char kInstructionSuicide[] = "TessarionInstruction_Suicide";
inline constexpr char kInstructionMonitorStart[] = "TessarionInstruction_MonitorStart";

// Seconds-based count from the local time; only differences between two values matter (the
// month does not enter it). 0 when the local time cannot be had.
int64_t getIpcTimeValue();
// The time value as lower-case hex ("%llx") in a new 32-byte text, or NULL.
char* getIpcTimeValueText();

// New message with Message "" and the current time, hashed; NULL when From, To or Instruction is
// NULL or memory runs out. Free with freeIpcMessage.
TessarionMessage* newIpcMessage(const char* From, const char* To, const char* Instruction);
// New 128-digit SHA-512 text over From, To, the time pieces, the salt, Instruction and Message;
// NULL when a field is missing or memory runs out.
char* buildMessageHash(const TessarionMessage* message);
// The message as one line of JSON (values unescaped), or NULL when a field is missing.
char* ipcMessageToJson(const TessarionMessage* message);
// New record from JSON text (all fields missing for NULL text); NULL only when memory runs out.
TessarionMessage* parseIpcMessage(const char* text);
// True when every field is there, the time value is 0 to 2 seconds old and the hash matches.
bool verifyIpcMessage(const TessarionMessage* message);
void freeIpcMessage(TessarionMessage* message);
