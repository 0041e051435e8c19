#include "app/branches.hpp"
#include "src/SimpleCommand.hpp"

int branch_sensor_trigger(Run& run, bool run_firmware) {
    RunRecord& record = run.record;
    SimpleCommand command(run.context);
    USB_Logger* logger = &run.log();
    logger->Info("Creating object SimpleCommand:\n");
    logger->Info("\tNo additional information to send\n");
    logger->Info("\tNo additional feedback expected\n");
    put_le32(command.request, run_firmware ? SimpleCommand::kRunSensorFirmware : SimpleCommand::kSensorBootloader);
    const int result = connect_and_run(command, run);
    record.data()["trigger"] = run_firmware ? "run firmware" : "bootloader";
    if (result == 0) {
        if (run_firmware) {
            record.succeeded("the sensors were told to run their firmware", "Restart the suit so that they start it");
        } else {
            record.succeeded("the sensors were sent into their bootloader",
                             "They wait there: run -sb with a sensor image file to upgrade them, or -srf to start "
                             "their firmware");
        }
    }
    if (run_firmware) {
        logger->Info("Trigger sensors to run firmware command sent!\r\n");
        if (result == 0) {
            logger->Info("Restart the suit!\r\n");
        } else {
            logger->Error("Something went wrong trying to trigger sensors to run firmware - error-code %d!!\n", result);
        }
    } else {
        logger->Info("Trigger to bootloader command sent!\r\n");
        if (result != 0) {
            logger->Error("Something went wrong trying to trigger sensors to bootloader - error-code %d!!\n", result);
        }
    }
    return result;
}
