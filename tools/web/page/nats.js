// travik live page: the device picker of `travik web nats://HOST`. The
// server sends {"type":"devices","devices":[{name,up,ageMs}],"selected"}
// every second; picking one sends {"type":"select","name"}. Without a NATS
// server behind the page no such message comes and nothing shows.
'use strict';

(function () {
  let picker = null;
  let sendNow = null;

  function ensurePicker() {
    if (picker) return picker;
    picker = document.createElement('select');
    picker.id = 'ctl-device';
    picker.title = 'devices that bridges publish on NATS';
    picker.addEventListener('change', () => {
      if (picker.value && sendNow) sendNow({ type: 'select', name: picker.value });
    });
    const anchor = document.querySelector('#ctl-interval-send');
    anchor.parentNode.insertBefore(picker, anchor.nextSibling);
    return picker;
  }

  window.travikOnMessage = (msg, send) => {
    if (msg.type !== 'devices' || !Array.isArray(msg.devices)) return;
    sendNow = send;
    const p = ensurePicker();
    if (document.activeElement === p) return;  // not while the user picks
    p.textContent = '';
    const none = new Option('pick a device', '');
    none.disabled = true;
    p.add(none);
    let found = false;
    for (const d of msg.devices) {
      const age = (Number(d.ageMs) / 1000).toFixed(1);
      const label = `${d.name} (${d.up ? 'up' : 'down'}, ${age} s)`;
      const selected = d.name === msg.selected;
      found = found || selected;
      p.add(new Option(label, d.name, selected, selected));
    }
    if (!found) none.selected = true;
  };
})();
