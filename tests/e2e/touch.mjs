// Touch gestures on the app's touchpad, sent as a phone's touch screen sends them (through the
// DevTools protocol, so the page sees real touch and pointer events with several fingers).
export class Touchpad {
  static async on(page) {
    const box = await page.locator('#pad').boundingBox();
    return new Touchpad(await page.context().newCDPSession(page), box);
  }

  constructor(session, box) {
    this.session = session;
    this.centre = { x: box.x + box.width / 2, y: box.y + box.height / 2 };
  }

  // `count` fingers side by side around the pad's centre, 40 px apart.
  fingers(count) {
    return Array.from({ length: count }, (_, i) => ({ x: this.centre.x + (i - (count - 1) / 2) * 40, y: this.centre.y }));
  }

  send(type, points) {
    return this.session.send('Input.dispatchTouchEvent',
      { type, touchPoints: points.map((point, id) => ({ x: point.x, y: point.y, id })) });
  }

  async tap(count = 1) {
    await this.send('touchStart', this.fingers(count));
    await this.send('touchEnd', []);
  }

  // Puts `count` fingers down, moves them together by dx, dy in `steps` steps, and lifts them.
  async drag(count, dx, dy, steps = 10) {
    const start = this.fingers(count);
    await this.send('touchStart', start);
    for (let step = 1; step <= steps; step++) {
      await this.send('touchMove', start.map(p => ({ x: p.x + (dx * step) / steps, y: p.y + (dy * step) / steps })));
    }
    await this.send('touchEnd', []);
  }
}
