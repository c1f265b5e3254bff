// The viewer's control command: encoding on the viewer, applying on the
// device.
#include "manager/manager_internal.h"
#include "platform/diag.h"
#include "protocol/frame_writer.h"

namespace travik {

void ApplyCommand(TravikMgr& mgr, const CmdSt& cmd) {
    if (cmd.cmdType != CMD_SET_SEND_STATE) return;
    if (cmd.logSwitch == SWITCH_ON) {
        Diag("m_logClosed = 0 \n");
        mgr.m_logClosed = 0;
    } else if (cmd.logSwitch == SWITCH_OFF) {
        Diag("m_logClosed = 1 \n");
        mgr.m_logClosed = 1;
    }
    if (cmd.imageSwitch == SWITCH_ON) {
        Diag("m_imageClosed = 0 \n");
        mgr.m_imageClosed = 0;
    } else if (cmd.imageSwitch == SWITCH_OFF) {
        Diag("m_imageClosed = 1 \n");
        mgr.m_imageClosed = 1;
    }
    for (int i = 0; i < kImageChannels; ++i) {
        if (cmd.imageSwitches[i] == SWITCH_ON) {
            Diag("m_sendImagesOnOff[%d] = 1\n", i);
            mgr.m_sendImagesOnOff[i] = 1;
        } else if (cmd.imageSwitches[i] == SWITCH_OFF) {
            Diag("m_sendImagesOnOff[%d] = 0\n", i);
            mgr.m_sendImagesOnOff[i] = 0;
        }
    }
    if (cmd.sendInterval >= 1) {
        Diag("m_sendInterval = %d\n", cmd.sendInterval);
        mgr.m_sendInterval = cmd.sendInterval;
    }
}

}  // namespace travik

using namespace travik;

int TravikMgr::SendCmd(int logSwitch, int imageSwitch, int* const imageSwitches, int sendInterval) {
    CmdSt cmd;
    cmd.cmdType = CMD_SET_SEND_STATE;
    cmd.logSwitch = logSwitch;
    cmd.imageSwitch = imageSwitch;
    for (int i = 0; i < kImageChannels; ++i) cmd.imageSwitches[i] = imageSwitches ? imageSwitches[i] : SWITCH_KEEP;
    cmd.sendInterval = sendInterval;
    ByteBuffer frame = WriteCommandFrame(cmd);
    std::shared_ptr<Travik> client = ClientOf(*this);
    if (client) client->SendData(frame.data, frame.len);
    return 0;
}
