import { useEffect, useState } from 'react';
import { listFiles } from './api.js';

const join = (dir, name) => (dir ? `${dir}/${name}` : name);

/// Browses the studio's root (through /api/files) for a file, a frame
/// sequence or a flow; answers with the path from the root, which may be
/// edited first (to add `:channel=Z` and the like).
export default function FilePicker({ title, initialDir, onChoose, onCancel }) {
  const [dir, setDir] = useState(initialDir ?? '');
  const [listing, setListing] = useState(null);
  const [error, setError] = useState(null);
  const [path, setPath] = useState('');

  useEffect(() => {
    listFiles(dir).then((answer) => { setListing(answer); setError(null); }, (failure) => setError(failure.message));
  }, [dir]);

  const parent = dir.includes('/') ? dir.slice(0, dir.lastIndexOf('/')) : '';
  return (
    <div className="modal" data-testid="file-picker">
      <div className="modal-box">
        <h3>{title}</h3>
        <div className="picker-dir" data-testid="picker-dir">/{dir}</div>
        {error && <div className="error" data-testid="picker-error">{error}</div>}
        <ul className="picker-entries">
          {dir && <li><button onClick={() => setDir(parent)} data-testid="picker-up">..</button></li>}
          {listing?.entries.map((entry) => (
            <li key={entry.name}>
              <button data-testid={`entry-${entry.name}`} className={`entry-${entry.kind}`}
                onClick={() => (entry.kind === 'dir' ? setDir(join(dir, entry.name)) : setPath(join(dir, entry.name)))}
                onDoubleClick={() => entry.kind !== 'dir' && onChoose(join(dir, entry.name))}>
                {entry.name}{entry.kind === 'dir' ? '/' : ''}
                {entry.kind === 'sequence' && <span className="frames"> {entry.frames[0]}–{entry.frames[1]}</span>}
              </button>
            </li>
          ))}
        </ul>
        <div className="picker-choice">
          <input value={path} onChange={(e) => setPath(e.target.value)} data-testid="picker-path"
            placeholder="path from the root" />
          <button disabled={!path} onClick={() => onChoose(path)} data-testid="picker-ok">OK</button>
          <button onClick={onCancel} data-testid="picker-cancel">Cancel</button>
        </div>
      </div>
    </div>
  );
}
