// The job of the client process: every process that the client starts ends
// when the client ends, also the processes those started in turn.
#pragma once

struct JobObject {
    bool valid = false;
    bool killOnJobClose = false;
};

JobObject createJobObject();
// The job's processes end when the job is closed (at process exit).
bool setJobObjectKillOnClose(JobObject& job);
// Puts the current process into the job; false when that failed.
bool assignProcessToJobObject(JobObject& job);

// In a child process the client starts, before it runs its program: the
// child gets a process group of its own and dies with the client.
void prepareJobChild();
// Ends every process of the job (the children of the client and the
// orphans it adopted, each with its process group). Runs at exit when the
// job is set to kill on close.
void terminateJobProcesses();
