// The level graph: a scrolling strip chart, one column per level report.
const TRACE = 'rgb(215, 230, 215)';   // 0xD7, 0xE6, 0xD7
const AXIS = 'rgb(128, 168, 128)';    // 0x80, 0xA8, 0x80
const LEFT = 20, TOP = 10, RIGHT = 10, BOTTOM = 25;
const RANGE_LOW = -32768.0, RANGE_HIGH = 32768.0;

export class LevelGraph {
  constructor(canvas) {
    this.canvas = canvas;
    this.context = canvas.getContext('2d', { willReadFrequently: true });
    this.plotWidth = canvas.width - LEFT - RIGHT;
    this.plotHeight = canvas.height - TOP - BOTTOM;
    this.drawFrame();
  }

  drawFrame() {
    const c = this.context;
    c.fillStyle = '#000';
    c.fillRect(0, 0, this.canvas.width, this.canvas.height);
    c.strokeStyle = AXIS;
    c.fillStyle = AXIS;
    c.lineWidth = 1;
    c.strokeRect(LEFT - 0.5, TOP - 0.5, this.plotWidth + 1, this.plotHeight + 1);
    c.font = '10px Arial';
    c.textAlign = 'center';
    c.fillText('Time (seconds)', LEFT + this.plotWidth / 2, this.canvas.height - 6);
    c.save();
    c.translate(10, TOP + this.plotHeight / 2);
    c.rotate(-Math.PI / 2);
    c.fillText('Level', 0, 0);
    c.restore();
  }

  y(value) {
    const v = Math.max(RANGE_LOW, Math.min(RANGE_HIGH, value));
    const fraction = (v - RANGE_LOW) / (RANGE_HIGH - RANGE_LOW);
    return TOP + Math.min(this.plotHeight - 1, Math.floor((1 - fraction) * this.plotHeight));
  }

  // One level report: scroll one pixel left, clear the new column, draw the
  // line from a to b in it.
  add(a, b) {
    const c = this.context;
    const image = c.getImageData(LEFT + 1, TOP, this.plotWidth - 1, this.plotHeight);
    c.putImageData(image, LEFT, TOP);
    const x = LEFT + this.plotWidth - 1;
    c.fillStyle = '#000';
    c.fillRect(x, TOP, 1, this.plotHeight);
    const y1 = Math.min(this.y(a), this.y(b));
    const y2 = Math.max(this.y(a), this.y(b));
    c.fillStyle = TRACE;
    c.fillRect(x, y1, 1, y2 - y1 + 1);
  }
}
