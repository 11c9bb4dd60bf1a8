#include "cli/run.h"

#include "cli/convert.h"
#include "cli/export.h"
#include "cli/scan.h"
#include "cli/serve.h"
#include "cli/watch.h"
#include "cli/write.h"

namespace modbuscalc::cli {

int Run(Job &job, Output &output)
{
    if (job.invocation.verb->writesDevice)
        return RunWrite(job, output);
    if (job.invocation.verb->exportsMap)
        return RunExport(job, output);
    if (job.invocation.serving)
        return RunServe(job, output);
    if (job.invocation.verb->scansDevice)
        return RunScan(job, output);
    if (Watching(job.invocation))
        return RunWatch(job, output);
    return RunConversions(job, output);
}

} // namespace modbuscalc::cli
