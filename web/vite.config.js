import { defineConfig } from 'vite';
import react from '@vitejs/plugin-react';

// The page is served by `qz studio` from one folder; relative asset paths
// let it load from there whatever the URL. Everything is bundled: the page
// loads nothing from the network.
export default defineConfig({
  base: './',
  plugins: [react()],
  build: {
    emptyOutDir: true,
    chunkSizeWarningLimit: 1024,
  },
});
