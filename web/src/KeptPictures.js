// Pictures the page was sent, by the view they show, the least recently
// shown dropped first beyond a number of bytes: a view shown again (an
// undo, a value dragged back) is drawn from here at once, while the server
// is asked only whether its pictures still stand.

const bytesOf = (picture) => (picture ? (picture.halves ?? picture.levels).byteLength : 0);

export class KeptPictures {
  constructor(budget) {
    this.budget = budget;
    this.byKey = new Map();  // {primary, secondary}, the latest shown last
  }

  /// The pictures of view `key`, now the latest shown, or undefined.
  get(key) {
    const pictures = this.byKey.get(key);
    if (pictures) {
      this.byKey.delete(key);
      this.byKey.set(key, pictures);
    }
    return pictures;
  }

  /// Keeps `pictures` ({primary, secondary}) of view `key`; the latest is
  /// kept even when it alone is over the budget.
  keep(key, pictures) {
    this.byKey.delete(key);
    this.byKey.set(key, pictures);
    const size = ({ primary, secondary }) => bytesOf(primary) + bytesOf(secondary);
    let bytes = 0;
    for (const kept of this.byKey.values()) bytes += size(kept);
    for (const [oldest, kept] of this.byKey) {
      if (bytes <= this.budget || oldest === key) break;
      bytes -= size(kept);
      this.byKey.delete(oldest);
    }
  }
}
