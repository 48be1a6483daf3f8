// Every command of perfprobe, in the order its help lists them. A command is
// a file of this folder that defines the function making it, and a line
// here; includers define PERFPROBE_COMMAND(make) as they need each.
PERFPROBE_COMMAND(pingCommand)
PERFPROBE_COMMAND(cpuCommand)
PERFPROBE_COMMAND(statsCommand)
PERFPROBE_COMMAND(startCommand)
PERFPROBE_COMMAND(fpsCommand)
PERFPROBE_COMMAND(stopCommand)
PERFPROBE_COMMAND(sendCommand)
PERFPROBE_COMMAND(monitorCommand)
PERFPROBE_COMMAND(reportCommand)
PERFPROBE_COMMAND(deployCommand)
#ifdef PERFPROBE_EXPORTER
PERFPROBE_COMMAND(exporterCommand)
#endif
PERFPROBE_COMMAND(relayCommand)
